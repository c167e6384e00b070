#pragma once

#include "Updater/plugins/CommandTable.h"

// Family 0x17: the pedals 1701-1707, programmed in user code, and their boot
// codes 1741-1747.
namespace Updater {

using FennickInterface = TableInterface<0x1701>;
using RosmundInterface = TableInterface<0x1702>;
using HOXAInterface = TableInterface<0x1703>;
using JorvuInterface = TableInterface<0x1704>;
using NamuInterface = TableInterface<0x1705>;
using CorvelInterface = TableInterface<0x1706>;
using YeltoInterface = TableInterface<0x1707>;

using FennickBootInterface = TableInterface<0x1741>;
using RosmundBootInterface = TableInterface<0x1742>;
using HOXABootInterface = TableInterface<0x1743>;
using JorvuBootInterface = TableInterface<0x1744>;
using NamuBootInterface = TableInterface<0x1745>;
using CorvelBootInterface = TableInterface<0x1746>;
using YeltoBootInterface = TableInterface<0x1747>;

}  // namespace Updater
