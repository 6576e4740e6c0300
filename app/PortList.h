// Fills the port combo box from the discovered ports.
#pragma once

#include "portinfo/PortInfo.h"

#include <QString>

#include <vector>

class QComboBox;

// The port name of a record, decoded from the local 8-bit encoding up to the first zero byte,
// or all of the field when it has none.
QString portNameText(const vandrel::PortInfo& info);

// Appends one item per record, in the list's order.
void fillPortList(QComboBox& comboBox, const std::vector<vandrel::PortInfo>& ports);
