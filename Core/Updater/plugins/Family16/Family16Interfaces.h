#pragma once

#include "Updater/plugins/CommandTable.h"

// Family 0x16: the pedal 1601 and its boot code; neither reports code banks.
namespace Updater {

using WexleyInterface = TableInterface<0x1601>;
using WexleyBootInterface = TableInterface<0x1641>;

}  // namespace Updater
