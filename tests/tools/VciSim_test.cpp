// vci-sim as tests and developers meet it: its announcements as
// `vci-ident-tool listen` prints them and the service's records read them,
// many VCIs in one process, the commands on its standard input and its
// identity file.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ToolRun.h"
#include "common/TestEnv.h"
#include "records/AppList.h"
#include "records/RecoveryStatus.h"
#include "records/VCIIdentMsg.h"
#include "records/VCIStatusMsg.h"
#include "records/WireBytes.h"
#include "service_clients/AppServiceClient.h"
#include "tools/SimProcess.h"

namespace {

using testenv::SimProcess;
using tooltest::ExpectFields;

// Prints every announcement that reaches 225.1.1.1:8194 on the loopback
// interface, one JSON line each.
class Listener : public testenv::ChildProcess {
 public:
  Listener() : ChildProcess("vci-ident-tool", {"listen", "--interface", "127.0.0.1"}, "listening") {}
  static bool IsFrom(const std::string& line, const std::string& address) {
    return line.find("\"sender\":\"" + address + "\"") != std::string::npos;
  }
  // The next announcement from address; those of the others are passed over.
  nlohmann::json From(const std::string& address) {
    return nlohmann::json::parse(ReadLine([&](const std::string& l) { return IsFrom(l, address); }), nullptr, false);
  }
};

// The applications that the VCI at address reports.
CAppList Applications(const std::string& address) {
  CAppServiceClient client;
  CAppList apps;
  EXPECT_EQ(0, client.Initialize(address.c_str(), "127.0.0.1", 0, 0));
  EXPECT_EQ(0, client.GetApplications(apps));
  return apps;
}

// Every format and layout version, each from a VCI of its own: the service's
// record reads the announcement to its last byte and finds the options in it.
TEST(VciSim, AnnouncesEachFormatWithItsOptionsFromItsOwnAddress) {
  VCI_REQUIRE_NET_NAMESPACE();
  Listener listener;
  ASSERT_TRUE(listener.Ready());
  const struct {
    std::vector<std::string> options;
    std::function<std::unique_ptr<CSerialize>()> record;
    const char* fields;
  } formats[] = {
      // The token bytes in wire order; a session without address carries the VCI's.
      {{"--device-token", "a1b2c3d4e5f60718", "--interface-kind", "4", "--module-type", "9", "--wireless",
        "55:1:-75:-90", "--session", "3:1:tester:bench 7"},
       wire::Make<CVCIIdentMsg>,
       R"({"version": 3, "tokenLow": 3569595041, "tokenHigh": 403175141, "kind": 4, "moduleState": 0,
           "sessions": {"sessions": [{"session": 3, "kind": 1, "text1": "tester", "text2": "bench 7",
                                      "address": "127.0.0.2"}]},
           "wireless": true, "apState": 1, "linkQualityRaw": 55, "signalLevel": -75, "noiseLevel": -90,
           "moduleType": 9})"},
      {{"--msg-version", "2"}, wire::Make<CVCIIdentMsg>, R"({"version": 2, "wireless": false, "moduleType": 0})"},
      {{"--msg-version", "1", "--wireless", "80", "--module-type", "9"}, wire::Make<CVCIIdentMsg>,
       R"({"version": 1, "wireless": false, "moduleType": 0})"},
      // The address on the kind of interface it announces on, the others empty.
      {{"--format", "legacy", "--product-version", "2.1.3", "--product-date", "20260105", "--module-state", "3",
        "--interface-kind", "4", "--session", "5:8:local:app", "--session", "6:4:air:link"},
       wire::Make<CVCIStatusMsg>,
       R"({"version": 2, "wirelessAddress": "127.0.0.5", "usbAddress": "0.0.0.0", "ethernetAddress": "0.0.0.0",
           "productVersion": 131331, "productDate": 20260105, "moduleType": 1,
           "ethernetFlag": 0, "wirelessFlag": 1, "usbFlag": 0, "moduleState": 3,
           "clients": [{"number": 5, "interface": "Local", "text1": "local", "text2": "app"},
                       {"number": 6, "interface": "Wireless", "text1": "air", "text2": "link"}]})"},
      // Version 1 carries no module state: the record keeps its own 1.
      {{"--format", "legacy", "--msg-version", "1", "--module-state", "3"}, wire::Make<CVCIStatusMsg>,
       R"({"version": 1, "ethernetFlag": 1, "moduleState": 1})"},
      {{"--format", "recovery", "--module-state", "2"}, wire::Make<CRecoveryStatus>,
       R"({"version": 2, "moduleState": 2, "blockText": "vci-sim recovery 1.0.0"})"},
  };
  std::vector<std::unique_ptr<SimProcess>> vcis;
  for (size_t i = 0; i < sizeof formats / sizeof formats[0]; ++i) {
    std::vector<std::string> args = {"--address", "127.0.0." + std::to_string(2 + i), "--serial",
                                     std::to_string(4711 + i), "--interval", "100"};
    args.insert(args.end(), formats[i].options.begin(), formats[i].options.end());
    vcis.emplace_back(new SimProcess(args));
    ASSERT_TRUE(vcis.back()->Ready()) << i;
  }
  for (size_t i = 0; i < vcis.size(); ++i) {
    SCOPED_TRACE(i);
    nlohmann::json line = listener.From("127.0.0." + std::to_string(2 + i));
    ASSERT_TRUE(line.is_object());
    ExpectFields(line, {{"local", "127.0.0.1"}, {"record", {{"serial", 4711 + i}}}});
    const std::string bytes = tooltest::FromHex(line["hex"]);
    uint32_t read = 0;
    EXPECT_TRUE(wire::Load(*formats[i].record(), wire::Bytes(bytes.begin(), bytes.end()), &read));
    EXPECT_EQ(read, bytes.size());
    ExpectFields(line["record"], nlohmann::json::parse(formats[i].fields));
  }
  // The sequence byte moves on from one announcement to the next.
  EXPECT_NE(listener.From("127.0.0.2")["record"]["sequence"], listener.From("127.0.0.2")["record"]["sequence"]);
}

// --count runs VCIs on consecutive addresses with consecutive serial
// numbers; a command that ends in a serial number acts on that VCI alone.
// An identity file describes one VCI.
TEST(VciSim, CountRunsConsecutiveVcisThatCommandsAddressBySerialNumberAndAFileDescribesOne) {
  VCI_REQUIRE_NET_NAMESPACE();
  Listener listener;
  ASSERT_TRUE(listener.Ready());
  SimProcess vcis({"--count", "2", "--serial", "77", "--device-token", "aa", "--interval", "100", "--app", "A=1"});
  ASSERT_TRUE(vcis.Ready());
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(listener.From("127.0.0." + std::to_string(2 + i))["record"]["serial"], 77 + i);
    EXPECT_EQ(Applications("127.0.0." + std::to_string(2 + i)).GetCount(), 1u);
  }

  ASSERT_EQ("ok", vcis.Command("announce off 77"));
  ASSERT_EQ("ok", vcis.Command("token 1122334455667788 78"));
  ASSERT_EQ("ok", vcis.Command("state 2 78"));
  // A round announces the VCIs in order: 78's first announcement in state 2
  // may follow one of 77's sent before the commands, the next round has none.
  nlohmann::json changed = nlohmann::json::parse(listener.ReadLine([](const std::string& l) {
    return Listener::IsFrom(l, "127.0.0.3") && l.find("\"moduleState\":2,") != std::string::npos;
  }), nullptr, false);
  ExpectFields(changed["record"], {{"tokenLow", 0x44332211u}, {"tokenHigh", 0x88776655u}});
  bool silent = true;
  listener.ReadLine([&silent](const std::string& l) {
    silent = silent && !Listener::IsFrom(l, "127.0.0.2");
    return Listener::IsFrom(l, "127.0.0.3");
  });
  EXPECT_TRUE(silent);
  ASSERT_EQ("ok", vcis.Command("announce on 77"));
  EXPECT_EQ(listener.From("127.0.0.2")["record"]["serial"], 77);

  const std::pair<const char*, const char*> answers[] = {  // a command, the start of its answer
      // Each VCI at its own phase of the interval, not all in one burst.
      {"status 78", R"({"serial":78,"address":"127.0.0.3","device_token":"1122334455667788","module_state":2,)"
                    R"("announcing":true,"phase_ms":50,)"},
      {"status 77", R"({"serial":77,"address":"127.0.0.2","device_token":"00000000000000aa","module_state":0,)"
                    R"("announcing":true,"phase_ms":0,)"},
      {"state 2 79", "error: no VCI"},
      {"status 79", "error: no VCI"},
      {"status 77 now", "error: "},
      {"fault melt on", "error: unknown fault"},
      {"jump", "error: unknown command"},
      {"delay soon", "error: "},
  };
  for (const auto& a : answers) EXPECT_EQ(vcis.Command(a.first).find(a.second), 0u) << a.first;
  EXPECT_EQ(0, vcis.Stop());

  // An identity file gives the contents; an option given beside it wins.
  testenv::ScratchDir dir;
  testenv::WriteFile(dir.File("vci.json"), R"({"serial": 9001, "address": "127.0.0.7", "format": "legacy",
      "applications": [{"name": "FromFile", "version": "3.0"}, {"name": "Second", "version": "0.9"}]})");
  SimProcess vci({"--identity", dir.File("vci.json"), "--format", "current", "--interval", "100"});
  ASSERT_TRUE(vci.Ready());
  ExpectFields(listener.From("127.0.0.7")["record"], {{"class", "CVCIIdentMsg"}, {"serial", 9001}});
  CAppList apps = Applications("127.0.0.7");
  EXPECT_EQ(std::to_string(apps.GetCount()) + (apps.GetCount() ? apps.GetAt(0)->m_AppVersion.GetName() : ""),
            "2FromFile");
}

}  // namespace
