#include "PtyPeer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <sstream>

namespace vandrel::wintest {

namespace {

std::string toHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

Bytes fromHex(const std::string& hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return bytes;
}

bool isOk(const std::string& reply)
{
    return reply.rfind("err", 0) != 0;
}

} // namespace

PtyPeer::PtyPeer()
{
    const char* address = std::getenv("MORVANE_PTY_PEER");
    if (!address || !*address) {
        failure = "no pty peer (MORVANE_PTY_PEER is not set; run the tests with scripts/windows-tests.sh)";
        return;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        failure = "WSAStartup failed";
        return;
    }
    const std::string text(address);
    const size_t colon = text.rfind(':');
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(std::atoi(text.substr(colon + 1).c_str())));
    inet_pton(AF_INET, text.substr(0, colon).c_str(), &peer.sin_addr);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        failure = "cannot reach the pty peer at " + text;
        if (s != INVALID_SOCKET)
            closesocket(s);
        return;
    }
    connection = s;
}

PtyPeer::~PtyPeer()
{
    if (connected()) {
        closesocket(static_cast<SOCKET>(connection));
        WSACleanup();
    }
}

std::string PtyPeer::command(const std::string& line)
{
    if (!connected())
        return "err " + failure;
    const std::string request = line + "\n";
    const SOCKET s = static_cast<SOCKET>(connection);
    if (::send(s, request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size()))
        return "err send failed";
    size_t end;
    while ((end = pending.find('\n')) == std::string::npos) {
        char chunk[4096];
        const int n = recv(s, chunk, sizeof chunk, 0);
        if (n <= 0)
            return "err the pty peer has gone";
        pending.append(chunk, static_cast<size_t>(n));
    }
    std::string reply = pending.substr(0, end);
    pending.erase(0, end + 1);
    if (reply == "ok")
        return "";
    if (reply.rfind("ok ", 0) == 0)
        return reply.substr(3);
    return reply;
}

std::string PtyPeer::openPort(const std::string& kind, int number)
{
    const std::string reply = command("open " + kind + " " + std::to_string(number));
    return isOk(reply) ? reply : std::string();
}

bool PtyPeer::send(const std::string& port, const Bytes& bytes)
{
    return isOk(command("send " + port + " " + toHex(bytes)));
}

Bytes PtyPeer::receive(const std::string& port, size_t count, int timeoutMs)
{
    const std::string reply =
        command("recv " + port + " " + std::to_string(count) + " " + std::to_string(timeoutMs));
    return isOk(reply) ? fromHex(reply) : Bytes();
}

std::map<std::string, int> PtyPeer::settings(const std::string& port)
{
    std::map<std::string, int> values;
    const std::string reply = command("settings " + port);
    if (!isOk(reply))
        return values;
    std::istringstream in(reply);
    std::string item;
    while (in >> item) {
        const size_t equals = item.find('=');
        if (equals != std::string::npos)
            values[item.substr(0, equals)] = std::atoi(item.substr(equals + 1).c_str());
    }
    return values;
}

bool PtyPeer::setModemLines(const std::string& port, bool present)
{
    return isOk(command("modem " + port + (present ? " on" : " off")));
}

bool PtyPeer::unplug(const std::string& port)
{
    return isOk(command("unplug " + port));
}

std::string PtyPeer::startSimulator(const std::vector<std::string>& arguments)
{
    std::string line = "sim";
    for (const std::string& argument : arguments)
        line += " " + toHex(Bytes(argument.begin(), argument.end()));
    const std::string reply = command(line);
    if (isOk(reply))
        return reply;
    failure = reply;
    return std::string();
}

bool PtyPeer::stopSimulator(const std::string& port, int& status, std::string& log)
{
    const std::string reply = command("stopsim " + port);
    if (!isOk(reply))
        return false;
    const size_t space = reply.find(' ');
    status = std::atoi(reply.substr(0, space).c_str());
    const Bytes bytes = space == std::string::npos ? Bytes() : fromHex(reply.substr(space + 1));
    log.assign(bytes.begin(), bytes.end());
    return true;
}

} // namespace vandrel::wintest
