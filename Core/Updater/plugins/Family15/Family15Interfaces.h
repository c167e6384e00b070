#pragma once

#include "Updater/plugins/CommandTable.h"

// Family 0x15: the pedals 1501 and 1502 and their boot codes; 1541 is a
// generic boot code.
namespace Updater {

using TiberonInterface = TableInterface<0x1501>;
using GorrinInterface = TableInterface<0x1502>;
using Boot15Interface = TableInterface<0x1541>;
using GorrinBootInterface = TableInterface<0x1542>;

}  // namespace Updater
