#include "cli/ChosenOutputs.h"

namespace morvane::cli {

ChosenOutputs::ChosenOutputs(Console& console, bool jsonEvents, bool prefixPorts,
                             const QStringList& boardPorts, ProgressBoard::Finished finished)
    : text(console, prefixPorts), json(console), notices(console), board(console, boardPorts, finished)
{
    if (jsonEvents)
        fanOut.add(json);
    else
        fanOut.add(text);
    fanOut.add(notices);
    if (console.showsProgress())
        fanOut.add(board);
}

} // namespace morvane::cli
