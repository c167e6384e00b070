// The 33 command tables against the member table and vocabulary written out
// below by hand: the expected texts are the ones a pedal's documentation
// gives for the boot code 1742, moved to each table's own bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "Updater/plugins/Family13/Family13Interfaces.h"
#include "Updater/plugins/Family15/Family15Interfaces.h"
#include "Updater/plugins/Family16/Family16Interfaces.h"
#include "Updater/plugins/Family17/Family17Interfaces.h"
#include "Updater/plugins/Family19/Family19Interfaces.h"
#include "Updater/plugins/Family30/Family30Interfaces.h"

namespace {

using Updater::DeviceInterface;

enum class Cab { None, Own, Any };

struct Member {
  const char* className;
  uint16_t key;
  std::function<std::shared_ptr<DeviceInterface>()> make;
  uint32_t fidpid;
  const char* name;
  const char* port;
  const char* inPort;
  const char* outPort;
  bool hasBootcode;
  bool isBootcode;
  const char* lastMsg;  // spaced text, "" for none
  char style;
  bool banks;  // "id.dsp*" keys
  bool fwd;    // "fwupdate.fwd.*" keys
  Cab cab;
};

void PrintTo(const Member& m, std::ostream* os) { *os << m.className; }

template <typename T>
std::function<std::shared_ptr<DeviceInterface>()> maker() {
  return [] { return std::make_shared<T>(); };
}

#define CLASS(T) #T, T::kKey, maker<Updater::T>()
using namespace Updater;

// clang-format off
const std::vector<Member> kMembers = {
  {CLASS(PallamoInterface),      0x130001, "Pallamo",  "Pallamo",         "Pallamo",          "Pallamo",           true,  false, "", 'B', true,  true,  Cab::None},
  {CLASS(DorvikInterface),       0x130002, "Dorvik",   "Dorvik",          "Dorvik",           "Dorvik",            true,  false, "", 'B', true,  true,  Cab::None},
  {CLASS(KesmetInterface),       0x130003, "Kesmet",   "Kesmet",          "Kesmet",           "Kesmet",            true,  false, "", 'B', true,  true,  Cab::Any},
  {CLASS(BrennoInterface),       0x130004, "Brenno",   "Brenno",          "Brenno",           "Brenno",            true,  false, "", 'B', true,  true,  Cab::None},
  {CLASS(UlmaraInterface),       0x130005, "Ulmara",   "Ulmara",          "Ulmara",           "Ulmara",            true,  false, "", 'B', true,  true,  Cab::None},
  {CLASS(Boot13Interface),       0x130041, "",         "Velorin_Recover", "Velorin_Recover",  "Velorin_Recover",   true,  true,  "", 'B', true,  true,  Cab::None},
  {CLASS(Boot43Interface),       0x130043, "Kesmet",   "Kesmet Update",   "Kesmet Update",    "Kesmet Update",     true,  true,  "", 'B', true,  true,  Cab::Own},
  {CLASS(Boot44Interface),       0x130044, "Brenno",   "Brenno Update",   "Brenno Update",    "Brenno Update",     true,  true,  "", 'B', true,  true,  Cab::None},
  {CLASS(Boot45Interface),       0x130045, "Ulmara",   "Ulmara Update",   "Ulmara Update",    "Ulmara Update",     true,  true,  "", 'B', true,  true,  Cab::None},
  {CLASS(TiberonInterface),      0x150001, "Tiberon",  "Tiberon",         "Tiberon",          "Tiberon",           true,  false, "", 'B', true,  true,  Cab::None},
  {CLASS(GorrinInterface),       0x150002, "Gorrin",   "Gorrin",          "Gorrin",           "Gorrin",            true,  false, "", 'B', true,  true,  Cab::None},
  {CLASS(Boot15Interface),       0x150041, "Tiberon",  "Velorin_Recover", "Velorin_Recover",  "Velorin_Recover",   true,  true,  "", 'B', true,  true,  Cab::None},
  {CLASS(GorrinBootInterface),   0x150042, "Gorrin",   "Gorrin Update",   "Gorrin Update",    "Gorrin Update",     true,  true,  "", 'B', true,  true,  Cab::None},
  {CLASS(WexleyInterface),       0x160001, "Wexley",   "Wexley",          "Wexley",           "Wexley",            true,  false, "", 'B', false, true,  Cab::None},
  {CLASS(WexleyBootInterface),   0x160041, "Wexley",   "Wexley Update",   "Wexley Update",    "Wexley Update",     true,  true,  "", 'B', false, true,  Cab::None},
  {CLASS(FennickInterface),      0x170001, "Fennick",  "", "Fennick",  "Fennick",  false, false, "F0 00 2B 5E 17 01 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(RosmundInterface),      0x170002, "Rosmund",  "", "Rosmund",  "Rosmund",  false, false, "F0 00 2B 5E 17 02 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(HOXAInterface),         0x170003, "HOXA",     "", "HOXA",     "HOXA",     false, false, "F0 00 2B 5E 17 03 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(JorvuInterface),        0x170004, "Jorvu",    "", "Jorvu",    "Jorvu",    false, false, "F0 00 2B 5E 17 04 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(NamuInterface),         0x170005, "Namu",     "", "Namu",     "Namu",     false, false, "F0 00 2B 5E 17 05 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(CorvelInterface),       0x170006, "Corvel",   "", "Corvel",   "Corvel",   false, false, "F0 00 2B 5E 17 06 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(YeltoInterface),        0x170007, "Yelto",    "", "Yelto",    "Yelto",    false, false, "F0 00 2B 5E 17 07 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(FennickBootInterface),  0x0A0041, "Fennick",  "Fennick Update",  "Fennick Update",   "Fennick Update",    true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(RosmundBootInterface),  0x0A0042, "Rosmund",  "Rosmund Update",  "Rosmund Update",   "Rosmund Update",    true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(HOXABootInterface),     0x0A0043, "HOXA",     "HOXA Update",     "HOXA Update",      "HOXA Update",       true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(JorvuBootInterface),    0x0A0044, "Jorvu",    "Jorvu Update",    "Jorvu Update",     "Jorvu Update",      true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(NamuBootInterface),     0x0A0045, "Namu",     "Namu Update",     "Namu Update",      "Namu Update",       true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(CorvelBootInterface),   0x0A0046, "Corvel",   "Corvel Update",   "Corvel Update",    "Corvel Update",     true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(YeltoBootInterface),    0x0A0047, "Yelto",    "Yelto Update",    "Yelto Update",     "Yelto Update",      true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(SarnavelInterface),     0x190001, "Sarnavel", "", "Sarnavel", "Sarnavel", false, false, "F0 00 2B 5E 19 01 1B 02 00 F7", 'A', true, true, Cab::None},
  {CLASS(SarnavelBootInterface), 0x0A0041, "Sarnavel", "Sarnavel Update", "Sarnavel Update",  "Sarnavel Update",   true,  true,  "", 'A', true,  true,  Cab::None},
  {CLASS(IlvaneInterface),       0x300001, "Ilvane",   "", "MIDIIN6 (Ilvane)", "MIDIOUT6 (Ilvane)", false, false, "F0 00 2B 5E 30 01 1B 02 00 F7", 'B', false, false, Cab::None},
  {CLASS(IlvaneBootInterface),   0x300041, "Ilvane",   "Ilvane Update",   "Ilvane Update",    "Ilvane Update",     true,  true,  "", 'B', true,  true,  Cab::None},
};

// The vocabulary of the boot code 1742 (family 17, product 42), as written.
const std::map<std::string, std::string> kVocabulary = {
  {"reset",                          "F0 00 2B 5E 17 42 1B 09 58 F7"},
  {"identify",                       "F0 7E 7F 06 01 F7"},
  {"identify.response",              "F0 7E .. 06 02 .. .. .. .. .. .. .. .. .. .. .. F7"},
  {"gender",                         "F0 00 2B 5E 17 42 2F F7"},
  {"gender.response",                "F0 00 2B 5E 17 42 2F 00 vv 00 vv F7"},
  {"rawgender.read",                 "F0 00 2B 5E 17 42 42 0D 0F NIB24 F7"},
  {"rawgender.read.response",        "F0 00 2B 5E 17 42 42 0D"},
  {"version.read.user.crc",          "F0 00 2B 5E 17 42 30 F7"},
  {"version.read.user.crc.response", "F0 00 2B 5E 17 42 30 .. .. .. .."},
  {"version.calc.user.crc",          "F0 00 2B 5E 17 42 31 F7"},
  {"version.calc.user.crc.response", "F0 00 2B 5E 17 42 31 .. .. .. .."},
  {"esn.read",                       "F0 00 2B 5E 17 42 21 F7"},
  {"esn.read.response",              "F0 00 2B 5E 17 42 21 .. .. .. .. .. .. .. .. F7"},
  {"loader.set.dfu",                 "F0 00 2B 5E 17 42 1C 01 F7"},
  {"loader.set.user",                "F0 00 2B 5E 17 42 1C 00 F7"},
  {"loader.set.boot",                "F0 00 2B 5E 17 42 1C 02 F7"},
  {"version.read.user",              "F0 00 2B 5E 17 42 2E F7"},
  {"version.read.user.response",     "(F0 00 2B 5E 17 .. 2E .. .. .. .. F7|F0 00 2B 5E 17 .. 2E 46 F7)"},
  {"gender.read",                    "F0 00 2B 5E 17 42 2F F7"},
  {"gender.read.response",           "(F0 00 2B 5E 17 42 2F .. .. .. .. F7|F0 00 2B 5E 17 42 2F 46 F7)"},
  {"fwupdate.fwu.filecheck",         "F0 00 2B 5E 17 42 43 0C .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. F7"},
};
const std::map<std::string, std::string> kBankVocabulary = {
  {"id.dsp0",                  "F0 00 2B 5E 17 42 42 08 F7"},
  {"id.dsp1",                  "F0 00 2B 5E 17 42 42 09 F7"},
  {"id.dsp*.response",         "F0 00 2B 5E 17 42 42 0[89] .. .. .. .. .. .. .. .. .. .. .. .. .. F7"},
  {"id.dsp0.response",         "F0 00 2B 5E 17 42 42 08..*F7"},
  {"id.dsp1.response",         "F0 00 2B 5E 17 42 42 09 .. .. .. .. .. .. .. .. .. .. .. .. .. F7"},
  {"id.dsp0.response.invalid", "F0 00 2B 5E 17 42 42 08 02 F7"},
  {"id.dsp1.response.invalid", "F0 00 2B 5E 17 42 42 09 02 F7"},
};
const std::map<std::string, int> kBankOffsets = {
  {"id.dsp.offset.response_flag", 10}, {"id.dsp.offset.bank_status", 20},
  {"id.dsp.offset.code_size", 12},     {"id.dsp.offset.code_ver", 8},
};
const std::map<std::string, std::string> kAckA = {
  {".response.any",    "F0 00 2B 5E 17 42 4[23] .. F7"},
  {".response.good",   "F0 00 2B 5E 17 .. 4[23] 00 F7"},
  {".response.bad",    "F0 00 2B 5E 17 .. 4[23] 01 F7"},
  {".response.failed", "F0 00 2B 5E 17 .. 4[23] 02 F7"},
};
const std::map<std::string, std::string> kAckB = {
  {".response.any",    "F0 00 2B 5E 17 42 4[23] 0C .. F7"},
  {".response.good",   "F0 00 2B 5E 17 .. 4[23] 0C 00 F7"},
  {".response.bad",    "F0 00 2B 5E 17 .. 4[23] 0C 01 F7"},
  {".response.failed", "F0 00 2B 5E 17 .. 4[23] 0C 02 F7"},
};
const char* const kFwdFileCheck = "F0 00 2B 5E 17 .. 42 0C .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. F7";
// Cab keys exactly as the two tables that have them hold them.
const std::map<std::string, std::string> kCabBoot43 = {
  {"fwupdate.ircab.response.any",    "F0 00 2B 5E 13 43 6E .. .. F7"},
  {"fwupdate.ircab.response.good",   "F0 00 2B 5E 13 .. 6E 00 00 F7"},
  {"fwupdate.ircab.response.bad",    "F0 00 2B 5E 13 .. 6E 01 F7"},
  {"fwupdate.ircab.response.failed", "F0 00 2B 5E 13 .. 6E 01 00 F7"},
  {"fwupdate.ircab.filecheck",       "F0 00 2B 5E 13 43 6E 01 .. .. .. .. .. .. .. .. .. .. .. F7"},
};
const std::map<std::string, std::string> kCabKesmet = {
  {"fwupdate.ircab.response.any",    "F0 00 2B 5E 13 .. 6E .. .. F7"},
  {"fwupdate.ircab.response.good",   "F0 00 2B 5E 13 .. 6E 00 00 F7"},
  {"fwupdate.ircab.response.bad",    "F0 00 2B 5E 13 .. 6E 01 F7"},
  {"fwupdate.ircab.response.failed", "F0 00 2B 5E 13 .. 6E 01 00 F7"},
  {"fwupdate.ircab.filecheck",       "F0 00 2B 5E 13 .. 6E 01 .. .. .. .. .. .. .. .. .. .. .. F7"},
};
// clang-format on

std::string dense(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

std::string hex2(unsigned v) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[(v >> 4) & 0xF], digits[v & 0xF]};
}

// Moves a text written for 1742 to a member's family and product bytes.
std::string forMember(const std::string& text, const Member& m) {
  std::string out = dense(text);
  const std::string ff = hex2(m.key >> 8), pp = hex2(m.key & 0xFF);
  for (auto [from, to] : {std::pair<std::string, std::string>{"2B5E1742", "2B5E" + ff + pp},
                          {"2B5E17..", "2B5E" + ff + ".."}}) {
    for (auto pos = out.find(from); pos != std::string::npos; pos = out.find(from, pos + to.size()))
      out.replace(pos, from.size(), to);
  }
  return out;
}

// Every text a member must hold, dense.
std::map<std::string, std::string> expectedTexts(const Member& m) {
  std::map<std::string, std::string> out;
  for (const auto& [k, v] : kVocabulary) out[k] = forMember(v, m);
  if (m.banks)
    for (const auto& [k, v] : kBankVocabulary) out[k] = forMember(v, m);
  const auto& ack = m.style == 'A' ? kAckA : kAckB;
  for (const auto& [suffix, v] : ack) out["fwupdate.fwu" + suffix] = forMember(v, m);
  if (m.fwd) {
    for (const auto& [suffix, v] : ack) out["fwupdate.fwd" + suffix] = forMember(v, m);
    out["fwupdate.fwd.filecheck"] = forMember(kFwdFileCheck, m);
  }
  if (m.cab != Cab::None)
    for (const auto& [k, v] : m.cab == Cab::Own ? kCabBoot43 : kCabKesmet) out[k] = dense(v);
  // The pedal 1303 and its boot code start the user code with 1C 03.
  if (m.key == 0x1303) out["loader.set.user"] = "F0002B5E13031C03F7";
  if (m.key == 0x1343) out["loader.set.user"] = "F0002B5E13431C03F7";
  return out;
}

std::map<std::string, int> expectedIntegers(const Member& m) {
  std::map<std::string, int> out{{"command.timeout.ms", 2200}, {"command.timeout.s", 2}};
  if (m.banks) out.insert(kBankOffsets.begin(), kBankOffsets.end());
  return out;
}

MidiBytes bytesOf(const std::string& spaced) {
  MidiBytes out;
  const std::string d = dense(spaced);
  for (size_t i = 0; i + 1 < d.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(d.substr(i, 2), nullptr, 16)));
  return out;
}

class Members : public ::testing::TestWithParam<Member> {};

TEST_P(Members, AnswerTheirFixedQuestions) {
  const Member& m = GetParam();
  const auto table = m.make();
  EXPECT_EQ(table->fidpid(), m.fidpid);
  EXPECT_EQ(table->rawFidpid(), m.key == 0x1341 ? 0u : m.fidpid);
  EXPECT_EQ(table->productName(), m.name);
  EXPECT_EQ(table->productPortName(), m.port);
  EXPECT_EQ(table->productInPortName(), m.inPort);
  EXPECT_EQ(table->productOutPortName(), m.outPort);
  EXPECT_EQ(table->hasBootcode(), m.hasBootcode);
  EXPECT_EQ(table->isBootcode(), m.isBootcode);
  EXPECT_EQ(table->hasDSP(), m.banks);
  EXPECT_EQ(table->classVersion(), "0.0.0.1");
  EXPECT_EQ(table->lastProgrammingMsg(), bytesOf(m.lastMsg));
}

TEST_P(Members, HoldExactlyTheirVocabularyWithoutBlanks) {
  const Member& m = GetParam();
  const auto table = m.make();
  const auto texts = expectedTexts(m);
  const auto ints = expectedIntegers(m);

  std::set<std::string> expectedKeys;
  for (const auto& [k, v] : texts) {
    expectedKeys.insert(k);
    EXPECT_EQ(table->lookupStr(k), v) << k;
    EXPECT_THROW(table->lookupInt(k), std::bad_cast) << k;
  }
  for (const auto& [k, v] : ints) {
    expectedKeys.insert(k);
    EXPECT_EQ(table->lookupInt(k), v) << k;
    EXPECT_THROW(table->lookupStr(k), std::bad_cast) << k;
  }

  const auto* concrete = dynamic_cast<const Updater::CommandTableInterface*>(table.get());
  ASSERT_NE(concrete, nullptr);
  const auto keys = concrete->keys();
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), expectedKeys);
}

TEST_P(Members, MissingKeysAreEmptyAndFailTypedLookups) {
  const Member& m = GetParam();
  const auto table = m.make();
  std::vector<std::string> absent{"no.such.key", ""};
  if (!m.banks) absent.insert(absent.end(), {"id.dsp0", "id.dsp1", "id.dsp0.response", "id.dsp.offset.code_ver"});
  if (!m.fwd) absent.insert(absent.end(), {"fwupdate.fwd.response.good", "fwupdate.fwd.filecheck"});
  if (m.cab == Cab::None) absent.push_back("fwupdate.ircab.response.good");
  for (const auto& key : absent) {
    EXPECT_FALSE(table->lookup(key).has_value()) << key;
    EXPECT_THROW(table->lookupStr(key), std::bad_cast) << key;
    EXPECT_THROW(table->lookupInt(key), std::bad_cast) << key;
  }
}

// One acknowledgement or reply expression with replies it must accept and
// replies it must refuse.
struct ReplyCase {
  std::string key;
  std::vector<std::string> accepted;
  std::vector<std::string> refused;
};

std::string bytesRun(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += hex2(static_cast<unsigned>(0x10 + i));
  return out;
}

std::vector<ReplyCase> replyCases(const Member& m) {
  const std::string ff = hex2(m.key >> 8), pp = hex2(m.key & 0xFF);
  const std::string otherPp = pp == "01" ? "02" : "01";  // a product byte not the table's
  const std::string head = "F0002B5E" + ff;
  const bool b = m.style == 'B';
  // Acknowledgement in the table's own style and in the other one.
  auto ack = [&](const std::string& product, const char* cmd, const char* status, bool style) {
    return head + product + cmd + (style ? "0C" : "") + status + "F7";
  };

  std::vector<ReplyCase> out;
  for (const std::string deco : {"fwu", "fwd"}) {
    if (deco == "fwd" && !m.fwd) continue;
    const std::string k = "fwupdate." + deco;
    out.push_back({k + ".response.any",
                   {ack(pp, "42", "00", b), ack(pp, "43", "7F", b)},
                   {ack(otherPp, "42", "00", b), ack(pp, "42", "00", !b), ack(pp, "44", "00", b)}});
    out.push_back({k + ".response.good",
                   {ack(otherPp, "42", "00", b), ack(pp, "43", "00", b)},
                   {ack(pp, "42", "01", b), ack(pp, "42", "00", !b), head + pp + "42" + (b ? "0C" : "") + "0000F7"}});
    out.push_back({k + ".response.bad",
                   {ack(pp, "42", "01", b), ack(otherPp, "43", "01", b)},
                   {ack(pp, "42", "00", b), ack(pp, "42", "02", b), ack(pp, "42", "01", !b)}});
    out.push_back({k + ".response.failed",
                   {ack(pp, "42", "02", b), ack(otherPp, "43", "02", b)},
                   {ack(pp, "42", "01", b), ack(pp, "42", "02", !b)}});
  }
  out.push_back({"fwupdate.fwu.filecheck",
                 {head + pp + "430C" + bytesRun(16) + "F7"},
                 {head + pp + "430C" + bytesRun(15) + "F7", head + otherPp + "430C" + bytesRun(16) + "F7",
                  head + pp + "420C" + bytesRun(16) + "F7"}});
  if (m.fwd)
    out.push_back({"fwupdate.fwd.filecheck",
                   {head + pp + "420C" + bytesRun(16) + "F7", head + otherPp + "420C" + bytesRun(16) + "F7"},
                   {head + pp + "430C" + bytesRun(16) + "F7", head + pp + "420C" + bytesRun(17) + "F7"}});
  out.push_back({"version.read.user.response",
                 {head + otherPp + "2E01020304F7", head + pp + "2E46F7"},
                 {head + pp + "2E010203F7", head + pp + "2F01020304F7", head + pp + "2E47F7"}});
  out.push_back({"gender.read.response",
                 {head + pp + "2F13000200F7", head + pp + "2F46F7"},
                 {head + otherPp + "2F13000200F7", head + pp + "2F130002F7"}});
  if (m.banks)
    out.push_back({"id.dsp0.response",
                   {head + pp + "4208" + bytesRun(13) + "F7", head + pp + "420802F7"},
                   {head + pp + "4209" + bytesRun(13) + "F7", head + pp + "4208F7"}});
  if (m.cab != Cab::None) {
    const bool own = m.cab == Cab::Own;
    ReplyCase any{"fwupdate.ircab.response.any", {head + pp + "6E0000F7"}, {head + pp + "6E00F7"}};
    ReplyCase check{"fwupdate.ircab.filecheck", {head + pp + "6E01" + bytesRun(11) + "F7"},
                    {head + pp + "6E01" + bytesRun(10) + "F7"}};
    (own ? any.refused : any.accepted).push_back(head + otherPp + "6E0102F7");
    (own ? check.refused : check.accepted).push_back(head + otherPp + "6E01" + bytesRun(11) + "F7");
    out.push_back(any);
    out.push_back(check);
    out.push_back({"fwupdate.ircab.response.good", {head + otherPp + "6E0000F7"}, {head + pp + "6E0100F7"}});
    out.push_back({"fwupdate.ircab.response.bad", {head + otherPp + "6E01F7"}, {head + pp + "6E0100F7"}});
    out.push_back({"fwupdate.ircab.response.failed", {head + otherPp + "6E0100F7"}, {head + pp + "6E01F7"}});
  }
  return out;
}

TEST_P(Members, ResponseExpressionsAcceptTheirRepliesOnly) {
  const Member& m = GetParam();
  const auto table = m.make();
  std::set<std::string> covered;
  for (const auto& c : replyCases(m)) {
    covered.insert(c.key);
    SCOPED_TRACE(c.key);
    const std::regex re(table->lookupStr(c.key));  // an invalid expression fails the test by throwing
    for (const auto& reply : c.accepted) EXPECT_TRUE(std::regex_match(reply, re)) << c.key << " " << reply;
    for (const auto& reply : c.refused) EXPECT_FALSE(std::regex_match(reply, re)) << c.key << " " << reply;
    // The same reply from a pedal of another family (0x12).
    std::string foreign = c.accepted.front();
    foreign.replace(8, 2, "12");
    EXPECT_FALSE(std::regex_match(foreign, re)) << c.key << " " << foreign;
  }
  // Every firmware acknowledgement expression of the table is exercised.
  const auto* concrete = dynamic_cast<const Updater::CommandTableInterface*>(table.get());
  ASSERT_NE(concrete, nullptr);
  for (const auto& key : concrete->keys()) {
    if (key.rfind("fwupdate.", 0) == 0) {
      EXPECT_EQ(covered.count(key), 1u) << key;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All33, Members, ::testing::ValuesIn(kMembers),
                         [](const auto& p) { return std::string(p.param.className); });

TEST(CommandTables, MemberListCoversEveryClassOnce) {
  std::set<uint16_t> keys;
  for (const auto& m : kMembers) keys.insert(m.key);
  EXPECT_EQ(kMembers.size(), 33u);
  EXPECT_EQ(keys.size(), 33u);
}

TEST(CommandTables, NegativeAcknowledgement) {
  const RosmundBootInterface table;
  EXPECT_TRUE(table.isNak({}));
  EXPECT_TRUE(table.isNak({0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x42, 0x2E}));  // 7 bytes, whatever they hold
  EXPECT_TRUE(table.isNak({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(table.isNak({0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x42, 0x2E, 0x46, 0xF7}));
  EXPECT_FALSE(table.isNak({0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x42, 0x2E, 0x01, 0x02, 0x03, 0x04, 0xF7}));
  EXPECT_FALSE(table.isNak({0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x42, 0x2E, 0x00}));
  const IlvaneInterface other;
  EXPECT_TRUE(other.isNak({0xF0, 0x00, 0x2B, 0x5E, 0x30, 0x01, 0x43, 0x46, 0xF7}));
}

TEST(CommandTables, NamedExamples) {
  EXPECT_EQ(RosmundBootInterface().lookupStr("reset"), "F0002B5E17421B0958F7");
  EXPECT_EQ(KesmetInterface().lookupStr("loader.set.user"), "F0002B5E13031C03F7");
  EXPECT_EQ(Boot43Interface().lookupStr("loader.set.user"), "F0002B5E13431C03F7");
  EXPECT_EQ(BrennoInterface().lookupStr("loader.set.user"), "F0002B5E13041C00F7");
  EXPECT_EQ(SarnavelBootInterface().lookupStr("gender"), "F0002B5E19412FF7");

  const WexleyInterface wexley;
  EXPECT_FALSE(wexley.hasDSP());
  const BrennoInterface brenno;
  EXPECT_EQ(brenno.productPortName(), "Brenno");
  EXPECT_EQ(brenno.productInPortName(), brenno.productPortName());
  const IlvaneInterface ilvane;
  EXPECT_EQ(ilvane.productPortName(), "");
  EXPECT_EQ(ilvane.productInPortName(), "MIDIIN6 (Ilvane)");
  // Two boot codes of different families answer the same fidpid().
  EXPECT_EQ(FennickBootInterface().fidpid(), SarnavelBootInterface().fidpid());
}

TEST(CommandTables, WorkThroughTheBasePointer) {
  std::shared_ptr<DeviceInterface> table = std::make_shared<Boot13Interface>();
  EXPECT_EQ(table->rawFidpid(), 0u);
  EXPECT_EQ(table->fidpid(), 0x130041u);
  EXPECT_EQ(std::any_cast<std::string>(table->lookup("loader.set.boot")), "F0002B5E13411C02F7");
  EXPECT_EQ(std::any_cast<int32_t>(table->lookup("command.timeout.ms")), 2200);
}

}  // namespace
