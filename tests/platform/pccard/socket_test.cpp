// The PC Card socket with the real driver library: installation on first insertion, the keys it
// follows to load the driver and start the instances, the card on the bus, and clean removal.
#include <dlfcn.h>
#include <windows.h>

#include <algorithm>
#include <fstream>

#include "socket_fixture.h"
#include "teskel/controller.h"

namespace teskel::test {
namespace {

using Kind = pccard::Event::Kind;

const char *const kInstalledKeys[] = {"Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter", "Comm\\Teskel", "Comm\\Teskel1",
                                      "Comm\\Teskel1\\Parms", "Comm\\Teskel\\Linkage"};

std::string ssidOf(const sim::Controller &card) {
  auto data = card.record(sim::hw::kRidDesiredSsid);
  if (!data || data->size() < 2) return "(unreadable)";
  std::size_t length = (*data)[0] | (*data)[1] << 8;
  return std::string(data->begin() + 2, data->begin() + 2 + static_cast<std::ptrdiff_t>(std::min(length, data->size() - 2)));
}

TEST_F(SocketTest, FirstInsertionInstallsLoadsTheDriverAndBringsTheAdapterUp) {
  auto report = insert();
  ASSERT_TRUE(report.ok()) << (report.errors.empty() ? "" : report.errors.front());
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::Installed, Kind::DriverLoaded, Kind::AdapterUp}));
  EXPECT_TRUE(report.installed);
  EXPECT_EQ(report.socketKey, kSocketKey);
  EXPECT_EQ(report.miniport, "Teskel");
  EXPECT_EQ(report.image.filename(), "libTeskel.so");
  for (const char *key : kInstalledKeys) EXPECT_TRUE(store.keyExists(key)) << key;

  // The card sits where the instance's parameters say, and the adapter holds what it was given.
  sim::Controller *card = controller("Teskel1");
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(bus.deviceAt(0x300), card);
  EXPECT_TRUE(bus.isMapped(0x33F));
  EXPECT_FALSE(bus.isMapped(0x340));
  ndis::Adapter *adapter = socket->adapter("Teskel1");
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->interruptLine(), 15u);
  EXPECT_EQ(adapter->portRangesHeld(), 1u);
  EXPECT_TRUE(card->portEnabled());

  ASSERT_EQ(report.instances.size(), 1u);
  const auto &instance = report.instances[0];
  EXPECT_EQ(instance.ioBase, 0x300u);
  EXPECT_EQ(instance.interrupt, 15u);
  EXPECT_TRUE(instance.placed);
  ASSERT_TRUE(instance.stationAddress.has_value());
  EXPECT_EQ(*instance.stationAddress, card->stationAddress());
  EXPECT_NE(events[2].text.find("Teskel1 at ports 0x300-0x33F interrupt 15"), std::string::npos) << events[2].text;

  // The card's memory lives in the root folder.
  EXPECT_TRUE(std::filesystem::exists(root.path() / pccard::nvFileName("Teskel1")));
}

TEST_F(SocketTest, LaterInsertionsFindTheKeysAndKeepWhatWasChanged) {
  installOnce();
  store.setValue(kParms, "SSID", REG_SZ, sz("Lab"));
  auto report = insert();
  ASSERT_TRUE(report.ok());
  EXPECT_FALSE(report.installed);
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::Found, Kind::DriverLoaded, Kind::AdapterUp}));
  // An installation would have put "any" back.
  EXPECT_EQ(ssidOf(*controller("Teskel1")), "Lab");
}

TEST_F(SocketTest, TheCardKeepsItsIdentityAcrossInsertions) {
  auto first = insert();
  ASSERT_TRUE(first.ok());
  sim::MacAddress address = controller("Teskel1")->stationAddress();
  socket->remove();
  sim::ControllerOptions other;
  other.serial = 77;  // a new card would take its address from this
  auto second = insert(controllerCard(other));
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(controller("Teskel1")->stationAddress(), address);
}

TEST_F(SocketTest, RemovalHaltsUnmapsDropsTheLineAndUnloadsTheDriver) {
  auto report = insert();
  ASSERT_TRUE(report.ok());
  ndis::Adapter *adapter = socket->adapter("Teskel1");
  ASSERT_NE(adapter, nullptr);
  const std::string image = report.image.string();
  // A raised line must not outlive the card that drives it.
  bus.setIrq(15, true);
  events.clear();

  auto removed = socket->remove();
  EXPECT_EQ(removed.halted, std::vector<std::string>{"Teskel1"});
  EXPECT_TRUE(removed.clean()) << removed.leftovers.front();
  EXPECT_EQ(kinds(), std::vector<Kind>{Kind::Removed});
  EXPECT_EQ(events[0].text, "card removed: Teskel1 halted, nothing left held");
  EXPECT_EQ(adapter->state(), ndis::Adapter::State::Halted);
  EXPECT_FALSE(bus.isMapped(0x300));
  EXPECT_FALSE(bus.irq(15));
  EXPECT_EQ(host.memoryHeld(), 0u);
  EXPECT_TRUE(host.findings().empty());
  EXPECT_FALSE(socket->occupied());
  EXPECT_EQ(controller("Teskel1"), nullptr);
  EXPECT_EQ(socket->adapter("Teskel1"), nullptr);
  EXPECT_EQ(dlopen(image.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the driver library is still loaded";

  // An empty socket has nothing to remove.
  events.clear();
  EXPECT_TRUE(socket->remove().halted.empty());
  EXPECT_TRUE(events.empty());
}

TEST_F(SocketTest, ACardCanBeInsertedAgainAfterRemovalButNotTwice) {
  ASSERT_TRUE(insert().ok());
  EXPECT_THROW(socket->insert(pccard::Card{}), std::logic_error);
  socket->remove();
  auto again = insert();
  ASSERT_TRUE(again.ok());
  EXPECT_NE(socket->adapter("Teskel1"), nullptr);
}

TEST_F(SocketTest, EveryInstanceOfTheRouteGetsItsOwnCardResourcesAndAdapter) {
  installOnce();
  store.setValue("Comm\\Teskel\\Linkage", "Route", REG_MULTI_SZ, multiSz({"Teskel1", "Teskel2"}));
  for (const auto &v : store.values(kParms)) store.setValue("Comm\\Teskel2\\Parms", v.name, v.type, v.data);
  store.setValue("Comm\\Teskel2\\Parms", "IoBaseAddress", REG_DWORD, dword(0x340));
  store.setValue("Comm\\Teskel2\\Parms", "InterruptNumber", REG_DWORD, dword(11));

  auto report = insert();
  ASSERT_TRUE(report.ok()) << (report.errors.empty() ? "" : report.errors.front());
  EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::Found, Kind::DriverLoaded, Kind::AdapterUp, Kind::AdapterUp}));
  EXPECT_EQ(socket->instances(), (std::vector<std::string>{"Teskel1", "Teskel2"}));
  ASSERT_NE(socket->adapter("Teskel2"), nullptr);
  EXPECT_EQ(socket->adapter("Teskel1")->interruptLine(), 15u);
  EXPECT_EQ(socket->adapter("Teskel2")->interruptLine(), 11u);
  EXPECT_EQ(bus.deviceAt(0x340), controller("Teskel2"));
  EXPECT_NE(controller("Teskel1")->stationAddress(), controller("Teskel2")->stationAddress());
  EXPECT_TRUE(std::filesystem::exists(root.path() / pccard::nvFileName("Teskel2")));

  auto removed = socket->remove();
  EXPECT_EQ(removed.halted, (std::vector<std::string>{"Teskel1", "Teskel2"}));
  EXPECT_TRUE(removed.clean());
  EXPECT_FALSE(bus.isMapped(0x340));
}

TEST_F(SocketTest, TheSocketKeyNamesTheMiniportAndItsKeysNameImageAndInstances) {
  // Keys written by hand for a miniport of another name; the image name is matched without case.
  store.setValue(kSocketKey, "Dll", REG_SZ, sz("NDIS.DLL"));
  store.setValue(kSocketKey, "Miniport", REG_SZ, sz("Wlan"));
  store.setValue("Comm\\Wlan", "ImagePath", REG_SZ, sz("\\Windows\\teskel.DLL"));
  store.setValue("Comm\\Wlan\\Linkage", "Route", REG_MULTI_SZ, multiSz({"Wlan7"}));
  store.setValue("Comm\\Wlan7\\Parms", "IoBaseAddress", REG_SZ, sz("0x2C0"));
  store.setValue("Comm\\Wlan7\\Parms", "InterruptNumber", REG_DWORD, dword(9));

  auto report = insert();
  ASSERT_TRUE(report.ok()) << (report.errors.empty() ? "" : report.errors.front());
  EXPECT_EQ(report.miniport, "Wlan");
  EXPECT_EQ(report.image.filename(), "libTeskel.so");
  EXPECT_EQ(socket->instances(), std::vector<std::string>{"Wlan7"});
  ASSERT_NE(socket->adapter("Wlan7"), nullptr);
  EXPECT_EQ(socket->adapter("Wlan7")->interruptLine(), 9u);
  EXPECT_EQ(bus.deviceAt(0x2C0), controller("Wlan7"));
  EXPECT_FALSE(store.keyExists("Comm\\Teskel1")) << "nothing was installed";
}

// The socket places the card where the driver will look: text resources are read as the
// configuration reader reads them for the driver (hexadecimal, 0x optional).
TEST_F(SocketTest, TextResourcesAreReadAsTheDriverReadsThem) {
  const struct {
    const char *io, *irq;
    std::uint32_t port;
    unsigned line;
  } cases[] = {{"0x2C0", "15", 0x2C0, 0x15}, {"2c0", "0x9", 0x2C0, 9}, {" 340 ", "b", 0x340, 11}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.irq);
    installOnce();
    store.setValue(kParms, "IoBaseAddress", REG_SZ, sz(c.io));
    store.setValue(kParms, "InterruptNumber", REG_SZ, sz(c.irq));
    auto report = insert();
    ASSERT_TRUE(report.ok()) << (report.errors.empty() ? "" : report.errors.front());
    ASSERT_EQ(report.instances.size(), 1u);
    EXPECT_EQ(report.instances[0].ioBase, c.port);
    EXPECT_EQ(report.instances[0].interrupt, c.line);
    ASSERT_NE(socket->adapter("Teskel1"), nullptr);
    EXPECT_EQ(socket->adapter("Teskel1")->interruptLine(), c.line);
    EXPECT_EQ(bus.deviceAt(c.port), controller("Teskel1"));
    EXPECT_TRUE(socket->remove().clean());
  }
}

struct MediumCase {
  const char *name;
  std::vector<NDIS_MEDIUM> media;
  NDIS_STATUS status;
  UINT selected;
};

class SocketMediumTest : public SocketTest, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(SocketMediumTest, TheMediumArrayGoesToMiniportInitialize) {
  const auto &c = GetParam();
  auto o = options();
  o.media = c.media;
  makeSocket(o);
  auto report = insert();
  ASSERT_EQ(report.instances.size(), 1u);
  EXPECT_EQ(report.instances[0].status, c.status);
  EXPECT_EQ(report.ok(), c.status == NDIS_STATUS_SUCCESS);
  if (c.status == NDIS_STATUS_SUCCESS) {
    EXPECT_EQ(report.instances[0].selectedMediumIndex, c.selected);
    EXPECT_EQ(kinds().back(), Kind::AdapterUp);
  } else {
    EXPECT_EQ(kinds().back(), Kind::AdapterFailed);
    EXPECT_EQ(socket->adapter("Teskel1"), nullptr);
  }
  EXPECT_TRUE(socket->remove().clean());
}

INSTANTIATE_TEST_SUITE_P(
    Media, SocketMediumTest,
    ::testing::Values(MediumCase{"Ethernet", {NdisMedium802_3}, NDIS_STATUS_SUCCESS, 0},
                      MediumCase{"EthernetThird", {NdisMedium802_5, NdisMediumFddi, NdisMedium802_3}, NDIS_STATUS_SUCCESS, 2},
                      MediumCase{"TokenRingOnly", {NdisMedium802_5}, NDIS_STATUS_UNSUPPORTED_MEDIA, 0},
                      MediumCase{"None", {}, NDIS_STATUS_UNSUPPORTED_MEDIA, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SocketTest, ControllerFaultsReachTheCard) {
  sim::ControllerOptions faulty;
  faulty.faults.push_back(sim::parseFault("command-busy"));
  auto report = insert(controllerCard(faulty));
  EXPECT_FALSE(report.ok());
  EXPECT_TRUE(report.driverLoaded);
  EXPECT_TRUE(report.errors.empty()) << "the socket did its part";
  EXPECT_EQ(kinds().back(), Kind::AdapterFailed);
  ASSERT_FALSE(host.errorLog().empty());
  EXPECT_EQ(host.errorLog().back().code, 0xC000138Bu);
  auto removed = socket->remove();
  EXPECT_TRUE(removed.halted.empty());
  EXPECT_TRUE(removed.clean());
  EXPECT_FALSE(bus.isMapped(0x300));
}

TEST_F(SocketTest, AnInstanceWithoutPortsIsStartedWithoutACardAndTheDriverSaysWhy) {
  installOnce();
  store.deleteValue(kParms, "IoBaseAddress");
  auto report = insert();
  EXPECT_FALSE(report.ok());
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find("Comm\\Teskel1\\Parms has no IoBaseAddress"), std::string::npos) << report.errors[0];
  ASSERT_EQ(report.instances.size(), 1u);
  EXPECT_FALSE(report.instances[0].placed);
  EXPECT_TRUE(report.instances[0].initialized);
  EXPECT_EQ(controller("Teskel1"), nullptr);
  EXPECT_FALSE(bus.isMapped(0x300));
  // The driver's own account: an entry whose code is the failed read's status.
  ASSERT_EQ(host.errorLog().size(), 1u);
  EXPECT_EQ(host.errorLog()[0].code, report.instances[0].status);
  EXPECT_TRUE(socket->remove().clean());
}

class Wall : public ceddk::PortDevice {
 public:
  std::uint16_t readPort16(std::uint32_t) override { return 0x1234; }
  void writePort16(std::uint32_t, std::uint16_t) override {}
};

TEST_F(SocketTest, AnInstanceWhosePortsAreTakenIsNotStarted) {
  installOnce();
  Wall other;
  bus.map(0x320, 8, other);
  auto report = insert();
  EXPECT_FALSE(report.ok());
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find("ports 0x300-0x33F are taken"), std::string::npos) << report.errors[0];
  ASSERT_EQ(report.instances.size(), 1u);
  EXPECT_FALSE(report.instances[0].initialized);
  EXPECT_EQ(controller("Teskel1"), nullptr);
  EXPECT_TRUE(socket->remove().clean());
  EXPECT_EQ(bus.deviceAt(0x320), &other) << "removal leaves other devices alone";
  bus.unmap(0x320);
}

TEST_F(SocketTest, ACardWhoseMemoryFileIsDamagedIsNotStarted) {
  installOnce();
  std::ofstream(root.path() / pccard::nvFileName("Teskel1"), std::ios::trunc) << "too short";
  auto report = insert();
  EXPECT_FALSE(report.ok());
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find("Teskel1: the card cannot be powered up (controller memory file "), std::string::npos)
      << report.errors[0];
  ASSERT_EQ(report.instances.size(), 1u);
  EXPECT_FALSE(report.instances[0].initialized);
  EXPECT_FALSE(bus.isMapped(0x300));
  EXPECT_TRUE(socket->remove().clean());
}

// The keys of the stand-in driver that writes the command register twice and answers no request.
void leakyKeys(registry::Store &store) {
  const char *socketKey = "Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter";
  store.setValue(socketKey, "Dll", REG_SZ, sz("ndis.dll"));
  store.setValue(socketKey, "Miniport", REG_SZ, sz("Leaky"));
  store.setValue("Comm\\Leaky", "ImagePath", REG_SZ, sz("pccard_leaky_driver.dll"));
  store.setValue("Comm\\Leaky\\Linkage", "Route", REG_MULTI_SZ, multiSz({"Leaky1"}));
  store.setValue("Comm\\Leaky1\\Parms", "IoBaseAddress", REG_DWORD, dword(0x300));
  store.setValue("Comm\\Leaky1\\Parms", "InterruptNumber", REG_DWORD, dword(15));
}

// The block the stand-in driver's DriverEntry leaves held, to be given back once reported.
HLOCAL leakyBlock(const pccard::InsertReport &report) {
  void *library = dlopen(report.image.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!library) return nullptr;
  HLOCAL block = reinterpret_cast<HLOCAL (*)()>(dlsym(library, "LeakyDriverBlock"))();
  dlclose(library);
  return block;
}

// The socket sees a card only as a port device and an interrupt line: any device will do.
struct Recorder : ceddk::PortDevice {
  explicit Recorder(std::string &log) : log(log) {}
  ~Recorder() override { log += "gone"; }
  std::uint16_t readPort16(std::uint32_t) override { return 0; }
  void writePort16(std::uint32_t offset, std::uint16_t) override { log += "w" + std::to_string(offset) + " "; }
  std::string &log;
};

TEST_F(SocketTest, ACardIsWhateverDeviceItsOwnerPowersUpInTheSlot) {
  leakyKeys(store);
  std::string log;
  pccard::Card card;
  card.powerUp = [&](const pccard::Slot &slot) {
    log += slot.instance + " " + std::to_string(slot.interruptLine) + " " + slot.memoryFile.filename().string() + ": ";
    return pccard::CardFunction{std::make_unique<Recorder>(log), [] {
                                  return std::optional<pccard::StationAddress>({2, 0x11, 0x22, 0x33, 0x44, 0x55});
                                }};
  };
  auto report = insert(card);
  ASSERT_TRUE(report.ok());
  // The driver answers no request for its address: the card's own is reported.
  EXPECT_NE(events.back().text.find("station address 02:11:22:33:44:55 (the card's;"), std::string::npos);
  LocalFree(leakyBlock(report));
  socket->remove();
  EXPECT_EQ(log, "Leaky1 15 card-Leaky1.nv: w0 w0 gone");
  card.powerUp = [](const pccard::Slot &) -> pccard::CardFunction { throw std::runtime_error("no power"); };
  report = insert(card);
  LocalFree(leakyBlock(report));
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0], "Leaky1: the card cannot be powered up (no power); Leaky1 is not started");
}

TEST_F(SocketTest, WhatTheDriverLeavesHeldIsReportedAtRemoval) {
  leakyKeys(store);
  auto report = insert();
  ASSERT_TRUE(report.ok()) << (report.errors.empty() ? "" : report.errors.front());
  HLOCAL block = leakyBlock(report);
  ASSERT_NE(block, nullptr);
  // The card is there to be misused: the second command came while the first was still busy.
  ASSERT_NE(controller("Leaky1"), nullptr);
  const auto &violations = controller("Leaky1")->violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_TRUE(violations[0].starts_with("command-while-busy")) << violations[0];

  auto removed = socket->remove();
  LocalFree(block);
  EXPECT_EQ(removed.halted, std::vector<std::string>{"Leaky1"});
  EXPECT_FALSE(removed.clean());
  auto mentions = [&](const std::string &what) {
    return std::any_of(removed.leftovers.begin(), removed.leftovers.end(),
                       [&](const std::string &l) { return l.find(what) != std::string::npos; });
  };
  EXPECT_TRUE(mentions("port range 0x300-0x33F still registered after MiniportHalt"));
  EXPECT_TRUE(mentions("bytes of memory in 1 allocation(s) still held after MiniportHalt"));
  EXPECT_TRUE(mentions("bytes of NDIS memory still held after the halts"));
  EXPECT_TRUE(mentions("24 bytes of LocalAlloc memory still held"));
  EXPECT_NE(events.back().text.find("card removed: Leaky1 halted; still held: "), std::string::npos)
      << events.back().text;
}

// ---- what stops an insertion --------------------------------------------------------------------

struct StopCase {
  const char *name;
  // Changes the installed keys (or, with `fresh`, prepares an empty registry) before the insertion.
  std::function<void(registry::Store &, const std::filesystem::path &scratch)> prepare;
  bool fresh = false;
  std::string installImage = "Teskel.dll";
  std::string deviceKeyName = pccard::kDefaultDeviceKeyName;
  bool emptyDriverPath = false;
  const char *message;
  bool driverLoaded = false;
};

class SocketStopTest : public SocketTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(SocketStopTest, IsReportedClearlyAndLeavesNothingBehind) {
  const auto &c = GetParam();
  if (!c.fresh) installOnce();
  TempRoot scratch;
  if (c.prepare) c.prepare(store, scratch.path());
  auto o = options();
  o.driverPath = c.emptyDriverPath ? std::vector<std::filesystem::path>{scratch.path()}
                                   : std::vector<std::filesystem::path>{scratch.path(), pccard::defaultDriverPath().front()};
  makeSocket(o);
  pccard::Card card = controllerCard();
  card.installImage = c.installImage;
  card.deviceKeyName = c.deviceKeyName;
  auto report = insert(card);

  EXPECT_FALSE(report.ok());
  EXPECT_EQ(report.driverLoaded, c.driverLoaded);
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find(c.message), std::string::npos) << report.errors[0];
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, Kind::Error);
  EXPECT_EQ(events.back().text, report.errors[0]);
  EXPECT_TRUE(report.instances.empty());
  EXPECT_FALSE(bus.isMapped(0x300));
  EXPECT_TRUE(socket->occupied()) << "the card stays in until it is taken out";
  auto removed = socket->remove();
  EXPECT_TRUE(removed.clean()) << removed.leftovers.front();
  EXPECT_EQ(events.back().text, "card removed, nothing left held");
}

void setSz(registry::Store &s, const char *key, const char *name, const char *text) {
  s.setValue(key, name, REG_SZ, sz(text));
}

INSTANTIATE_TEST_SUITE_P(
    Stops, SocketStopTest,
    ::testing::Values(
        StopCase{"NoMiniportValue",
                 [](registry::Store &s, auto &) { s.deleteValue("Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter", "Miniport"); },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false,
                 "Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter has no Miniport value"},
        StopCase{"NoDllValue",
                 [](registry::Store &s, auto &) { s.deleteValue("Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter", "Dll"); },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false, "has no Dll value"},
        StopCase{"NotAnNdisDriver",
                 [](registry::Store &s, auto &) { setSz(s, "Drivers\\PCMCIA\\Halden-IEEE_802.11_Adapter", "Dll", "serial.dll"); },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false,
                 "names the device driver serial.dll; this socket loads NDIS miniports (ndis.dll) only"},
        StopCase{"NoImagePath", [](registry::Store &s, auto &) { s.deleteValue("Comm\\Teskel", "ImagePath"); }, false,
                 "Teskel.dll", pccard::kDefaultDeviceKeyName, false, "Comm\\Teskel has no ImagePath value"},
        StopCase{"NoLinkage", [](registry::Store &s, auto &) { s.deleteKey("Comm\\Teskel\\Linkage"); }, false,
                 "Teskel.dll", pccard::kDefaultDeviceKeyName, false,
                 "Comm\\Teskel\\Linkage has no Route value: no adapter instance is listed"},
        StopCase{"RouteNotMultiString", [](registry::Store &s, auto &) { setSz(s, "Comm\\Teskel\\Linkage", "Route", "Teskel1"); },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false, "Route value that is not REG_MULTI_SZ"},
        StopCase{"RouteEmpty",
                 [](registry::Store &s, auto &) { s.setValue("Comm\\Teskel\\Linkage", "Route", REG_MULTI_SZ, multiSz({})); },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false, "Route lists no adapter instance"},
        StopCase{"ImageMissing", [](registry::Store &s, auto &) { setSz(s, "Comm\\Teskel", "ImagePath", "Missing.dll"); },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false,
                 "no driver image Missing.dll named by Comm\\Teskel\\ImagePath (looked for libMissing.so or Missing.so or "
                 "Missing.dll in "},
        StopCase{"ImageNotALibrary",
                 [](registry::Store &s, const std::filesystem::path &scratch) {
                   std::ofstream(scratch / "libBroken.so") << "not a library\n";
                   setSz(s, "Comm\\Teskel", "ImagePath", "Broken.dll");
                 },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false, "cannot load driver image "},
        StopCase{"NoDriverEntry",
                 [](registry::Store &s, auto &) { setSz(s, "Comm\\Teskel", "ImagePath", "pccard_bare_library.dll"); }, false,
                 "Teskel.dll", pccard::kDefaultDeviceKeyName, false, "libpccard_bare_library.so exports no DriverEntry"},
        StopCase{"DriverEntryFails",
                 [](registry::Store &s, auto &) { setSz(s, "Comm\\Teskel", "ImagePath", "pccard_refusing_driver.dll"); },
                 false, "Teskel.dll", pccard::kDefaultDeviceKeyName, false,
                 "returned 0xC0000001 and registered no miniport"},
        StopCase{"NoDriverToInstallWith", nullptr, true, "Teskel.dll", pccard::kDefaultDeviceKeyName, true,
                 "no driver image Teskel.dll to install the card with"},
        StopCase{"NoInstallExport", nullptr, true, "pccard_bare_library.dll", pccard::kDefaultDeviceKeyName, false,
                 "libpccard_bare_library.so exports no Install_Driver"},
        StopCase{"InstallRefused", nullptr, true, "pccard_refusing_driver.dll", pccard::kDefaultDeviceKeyName, false,
                 "returned null for Halden-IEEE_802.11_Adapter: the card's keys were not written"},
        StopCase{"DeviceKeyNameWithSeparator", nullptr, true, "Teskel.dll", "Halden\\Card", false,
                 "cannot name a key under Drivers\\PCMCIA\\"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SocketTest, ARefusedInstallationLeavesNoKeys) {
  makeSocket();
  pccard::Card card = controllerCard();
  card.installImage = "pccard_refusing_driver.dll";
  EXPECT_FALSE(insert(card).ok());
  EXPECT_TRUE(store.subkeys("").empty());
}

}  // namespace
}  // namespace teskel::test
