// The firmware image as it was checked, kept where only this process can reach it, under a
// short name the flashing engine can open. The engine reads its image from a file when a run
// starts; handing it this copy instead of the user's file means that what is sent is exactly
// what was checked and counted (a file that changes in between changes nothing), and that the
// engine's messages, which cut long names, never cut the user's file name (the command line
// writes it in their place).
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace morvane::cli {

class ImageSnapshot
{
public:
    // Null when the system offers no such place.
    static std::unique_ptr<ImageSnapshot> create(const QByteArray& bytes);
    ~ImageSnapshot();
    ImageSnapshot(const ImageSnapshot&) = delete;
    ImageSnapshot& operator=(const ImageSnapshot&) = delete;

    // The name to give the engine, valid while the snapshot lives.
    const QString& path() const { return name; }

private:
    ImageSnapshot(int fd, QString name) : fd(fd), name(std::move(name)) {}

    int fd;
    QString name;
};

} // namespace morvane::cli
