// Special files (in a fresh folder where needed) that the report file must refuse without waiting
// on them, each with the reason it gives; what exists differs between the systems.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <utility>
#include <vector>

std::vector<std::pair<QString, QString>> notRegularFiles(const QTemporaryDir& dir);
