#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "Updater/InterfaceFactory.h"
#include "Updater/plugins/Family13/Family13Interfaces.h"
#include "Updater/plugins/Family15/Family15Interfaces.h"
#include "Updater/plugins/Family16/Family16Interfaces.h"
#include "Updater/plugins/Family17/Family17Interfaces.h"
#include "Updater/plugins/Family19/Family19Interfaces.h"
#include "Updater/plugins/Family30/Family30Interfaces.h"

namespace {

using namespace Updater;

struct FactoryCase {
  uint32_t code;
  const char* className;
  std::function<bool(const DeviceInterface*)> isClass;
};

template <typename T>
std::function<bool(const DeviceInterface*)> is() {
  return [](const DeviceInterface* p) { return p != nullptr && typeid(*p) == typeid(T); };
}

#define CASE(code, T) FactoryCase{code, #T, is<T>()}

// clang-format off
const std::vector<FactoryCase> kCodes = {
  CASE(0x1301, PallamoInterface),     CASE(0x1302, DorvikInterface),       CASE(0x1303, KesmetInterface),
  CASE(0x1304, BrennoInterface),      CASE(0x1305, UlmaraInterface),       CASE(0x1341, Boot13Interface),
  CASE(0x1343, Boot43Interface),      CASE(0x1344, Boot44Interface),       CASE(0x1345, Boot45Interface),
  CASE(0x1501, TiberonInterface),     CASE(0x1502, GorrinInterface),       CASE(0x1541, Boot15Interface),
  CASE(0x1542, GorrinBootInterface),  CASE(0x1601, WexleyInterface),       CASE(0x1641, WexleyBootInterface),
  CASE(0x1701, FennickInterface),     CASE(0x1702, RosmundInterface),      CASE(0x1703, HOXAInterface),
  CASE(0x1704, JorvuInterface),       CASE(0x1705, NamuInterface),         CASE(0x1706, CorvelInterface),
  CASE(0x1707, YeltoInterface),       CASE(0x1741, FennickBootInterface),  CASE(0x1742, RosmundBootInterface),
  CASE(0x1743, HOXABootInterface),    CASE(0x1744, JorvuBootInterface),    CASE(0x1745, NamuBootInterface),
  CASE(0x1746, CorvelBootInterface),  CASE(0x1747, YeltoBootInterface),    CASE(0x1901, SarnavelInterface),
  CASE(0x1941, SarnavelBootInterface), CASE(0x3001, IlvaneInterface),      CASE(0x3041, IlvaneBootInterface),
};
// clang-format on

TEST(InterfaceFactory, CreatesTheClassOfEachCode) {
  ASSERT_EQ(kCodes.size(), 33u);
  for (const auto& c : kCodes) {
    const auto table = getDeviceInterfaceFromFidPid(c.code);
    ASSERT_NE(table, nullptr) << std::hex << c.code;
    EXPECT_TRUE(c.isClass(table.get())) << std::hex << c.code << " is not " << c.className;
  }
}

TEST(InterfaceFactory, CodesWithoutATableGiveNothing) {
  // The family 0x12 pedals and their boot codes, the boot code 1342 (served by
  // 1341), neighbours of real codes, and codes that only match in 16 bits.
  for (uint32_t code : {0x1201u, 0x1202u, 0x1203u, 0x1241u, 0x1242u, 0x1243u, 0x1342u, 0x0u, 0x7F7Fu,
                        0x1300u, 0x1306u, 0x1346u, 0x1503u, 0x1602u, 0x1642u, 0x1700u, 0x1708u, 0x1748u,
                        0x1902u, 0x1942u, 0x3002u, 0x3042u, 0x11742u, 0x0A0042u, 0x170002u})
    EXPECT_EQ(getDeviceInterfaceFromFidPid(code), nullptr) << std::hex << code;
}

TEST(InterfaceFactory, EveryCallMakesAFreshObject) {
  const auto a = getDeviceInterfaceFromFidPid(0x1742);
  const auto b = getDeviceInterfaceFromFidPid(0x1742);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), b.get());
  a->setUserCtxBool("localupdate", true);
  EXPECT_FALSE(b->getUserCtxBool("localupdate", false));
  EXPECT_FALSE(getDeviceInterfaceFromFidPid(0x1742)->getUserCtxBool("localupdate", false));
}

TEST(UserContext, DefaultsUntilSetAndLastWriteWins) {
  const auto table = getDeviceInterfaceFromFidPid(0x1341);
  ASSERT_NE(table, nullptr);
  EXPECT_FALSE(table->getUserCtxBool("localupdate", false));
  EXPECT_TRUE(table->getUserCtxBool("localupdate", true));
  table->setUserCtxBool("localupdate", true);
  EXPECT_TRUE(table->getUserCtxBool("localupdate", false));
  table->setUserCtxBool("localupdate", false);
  EXPECT_FALSE(table->getUserCtxBool("localupdate", true));
  // Keys are independent.
  table->setUserCtxBool("other", true);
  EXPECT_FALSE(table->getUserCtxBool("localupdate", true));
  EXPECT_TRUE(table->getUserCtxBool("other", false));
}

TEST(UserContext, KeepsNothingInTheCommandTable) {
  RosmundBootInterface table;
  table.setUserCtxBool("reset", true);
  EXPECT_EQ(table.lookupStr("reset"), "F0002B5E17421B0958F7");
  table.setUserCtxBool("id.dsp1", false);
  EXPECT_TRUE(table.hasDSP());
  WexleyInterface wexley;
  wexley.setUserCtxBool("id.dsp1", true);
  EXPECT_FALSE(wexley.hasDSP());
}

TEST(NeedDspVersion, PedalsWithCodeBanksAndTheirBootCodes) {
  for (uint32_t code : {0x1301u, 0x1302u, 0x1303u, 0x1304u, 0x1305u, 0x1501u, 0x1502u, 0x1341u, 0x1342u,
                        0x1343u, 0x1344u, 0x1345u, 0x1541u, 0x1542u})
    EXPECT_TRUE(needDspVersion(code)) << std::hex << code;
  for (uint32_t code : {0x1601u, 0x1641u, 0x1701u, 0x1741u, 0x1901u, 0x3001u, 0x1201u, 0x1306u, 0x1503u,
                        0x0u, 0x1300u})
    EXPECT_FALSE(needDspVersion(code)) << std::hex << code;
}

}  // namespace
