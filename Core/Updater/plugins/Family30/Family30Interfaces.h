#pragma once

#include "Updater/plugins/CommandTable.h"

// Family 0x30: the pedal 3001, programmed in user code through its own pair of
// ports, and its boot code.
namespace Updater {

using IlvaneInterface = TableInterface<0x3001>;
using IlvaneBootInterface = TableInterface<0x3041>;

}  // namespace Updater
