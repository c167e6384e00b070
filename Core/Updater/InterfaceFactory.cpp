#include "Updater/InterfaceFactory.h"

#include <iterator>

#include "DataManager/DeviceTypes.h"
#include "Updater/plugins/Family13/Family13Interfaces.h"
#include "Updater/plugins/Family15/Family15Interfaces.h"
#include "Updater/plugins/Family16/Family16Interfaces.h"
#include "Updater/plugins/Family17/Family17Interfaces.h"
#include "Updater/plugins/Family19/Family19Interfaces.h"
#include "Updater/plugins/Family30/Family30Interfaces.h"

namespace Updater {
namespace {

struct FactoryEntry {
  uint16_t fidpid;
  std::shared_ptr<DeviceInterface> (*create)();
};

template <typename Table>
constexpr FactoryEntry entry() {
  return {Table::kKey, [] { return std::shared_ptr<DeviceInterface>(std::make_shared<Table>()); }};
}

// clang-format off
constexpr FactoryEntry kFactory[] = {
  entry<PallamoInterface>(),     entry<DorvikInterface>(),      entry<KesmetInterface>(),
  entry<BrennoInterface>(),      entry<UlmaraInterface>(),      entry<Boot13Interface>(),
  entry<Boot43Interface>(),      entry<Boot44Interface>(),      entry<Boot45Interface>(),
  entry<TiberonInterface>(),     entry<GorrinInterface>(),      entry<Boot15Interface>(),
  entry<GorrinBootInterface>(),  entry<WexleyInterface>(),      entry<WexleyBootInterface>(),
  entry<FennickInterface>(),     entry<RosmundInterface>(),     entry<HOXAInterface>(),
  entry<JorvuInterface>(),       entry<NamuInterface>(),        entry<CorvelInterface>(),
  entry<YeltoInterface>(),       entry<FennickBootInterface>(), entry<RosmundBootInterface>(),
  entry<HOXABootInterface>(),    entry<JorvuBootInterface>(),   entry<NamuBootInterface>(),
  entry<CorvelBootInterface>(),  entry<YeltoBootInterface>(),   entry<SarnavelInterface>(),
  entry<SarnavelBootInterface>(), entry<IlvaneInterface>(),     entry<IlvaneBootInterface>(),
};
// clang-format on
static_assert(std::size(kFactory) == std::size(kCommandTableRows),
              "every command table row needs its class in the factory");

}  // namespace

std::shared_ptr<DeviceInterface> getDeviceInterfaceFromFidPid(uint32_t fidpid) {
  for (const auto& e : kFactory)
    if (e.fidpid == fidpid) return e.create();
  return nullptr;
}

bool needDspVersion(uint32_t fidpid) {
  switch (fidpid & VX::DeviceTypes::BootCodeMask) {
    case 0x1301: case 0x1302: case 0x1303: case 0x1304: case 0x1305:
    case 0x1501: case 0x1502:
      return true;
    default:
      return false;
  }
}

}  // namespace Updater
