// The PC Card socket of a simulated handheld: on insertion it has the card's driver install its
// registry keys when they are missing, loads the driver by those keys, places the card on the port
// bus and brings up each adapter instance through the NDIS host; on removal it undoes all of it.
// A card is what a socket sees of one: a port device and an interrupt line per instance.
#pragma once

#include <ndis.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "teskel/port_bus.h"

namespace teskel::ndis {
class Host;
class Adapter;
}  // namespace teskel::ndis

namespace teskel::pccard {

// ---- driver images ------------------------------------------------------------------------------

// The folders searched for driver images when none are given: the library folder of the build
// next to the program's own folder (<prefix>/bin/prog -> <prefix>/lib), then the build's library
// folder as configured.
std::vector<std::filesystem::path> defaultDriverPath();

// File names a registry image name may have on this host, in the order they are tried:
// "Teskel.dll" (or "\Windows\Teskel.dll") -> "libTeskel.so", "Teskel.so", "Teskel.dll".
std::vector<std::string> imageCandidates(std::string_view imageName);

// The first file of the search path that one of the candidates names. Names compare without regard
// to case, as they do on the handheld. nullopt when there is none.
std::optional<std::filesystem::path> findDriverImage(std::string_view imageName,
                                                     const std::vector<std::filesystem::path> &searchPath);

// ---- the card and the socket --------------------------------------------------------------------

// The device key name the socket passes for the card when none is given.
inline constexpr const char *kDefaultDeviceKeyName = "Halden-IEEE_802.11_Adapter";

using StationAddress = std::array<std::uint8_t, 6>;

// Where the socket places the card for one adapter instance, as the card is powered up there.
struct Slot {
  std::string instance;               // as the miniport's Linkage\Route lists it
  std::size_t index = 0;              // its place in that list (0 for the first)
  unsigned interruptLine = 0;         // from the instance's parameters; the card drives it on the bus
  std::filesystem::path memoryFile;   // a file in the root folder for what the card keeps across removals
};

// What the socket sees of a card in a slot: a device behind the instance's window of ports (it
// drives the slot's interrupt line on the bus), and the station address the card carries, for a
// driver that does not report one (may be unset).
struct CardFunction {
  std::unique_ptr<ceddk::PortDevice> device;
  std::function<std::optional<StationAddress>()> stationAddress;
};

struct Card {
  // Names the card's socket key Drivers\PCMCIA\<name>.
  std::string deviceKeyName = kDefaultDeviceKeyName;
  // The driver that registers itself for this card (its Install_Driver) when the socket key is
  // missing: a registry-style image name, found through the driver search path.
  std::string installImage = "Teskel.dll";
  // Powers the card up in a slot, once per instance placed; handed over by whoever builds the
  // handheld. An exception says why the card cannot power up there: that instance is not started.
  std::function<CardFunction(const Slot &)> powerUp;
};

struct SocketOptions {
  // The handheld's root folder: the card's non-volatile memory lives there.
  std::filesystem::path root;
  // Folders searched for driver images, in order.
  std::vector<std::filesystem::path> driverPath = defaultDriverPath();
  // The medium array handed to MiniportInitialize.
  std::vector<NDIS_MEDIUM> media = {NdisMedium802_3};
  // The protocols that bind to each adapter as it comes up (the handheld's network stack). What
  // they return ends the "adapter up" line, in place of the station address the socket would
  // otherwise ask for.
  std::function<std::string(ndis::Adapter &)> bind = nullptr;
};

// What the socket tells its owner as it goes, one stage or problem per event.
struct Event {
  enum class Kind {
    Installed,     // Install_Driver wrote the socket key
    Found,         // the socket key was there already
    DriverLoaded,  // the image is loaded and its DriverEntry registered a miniport
    AdapterUp,     // MiniportInitialize succeeded for an instance
    AdapterFailed, // MiniportInitialize failed for an instance
    Removed,       // the card is out: adapters halted, card unmapped, driver unloaded
    Error,         // something the socket could not do; the text says what and why
  };
  Kind kind;
  std::string instance;  // for the adapter events
  std::string text;      // one line, as the handheld prints it
};
const char *toString(Event::Kind kind);

struct InstanceReport {
  std::string name;                     // as listed by the miniport's Linkage\Route
  std::optional<std::uint32_t> ioBase;  // from the instance's Parms key
  std::optional<unsigned> interrupt;
  bool placed = false;                  // the card is mapped for this instance
  NDIS_STATUS status = NDIS_STATUS_FAILURE;  // what MiniportInitialize returned
  bool initialized = false;             // MiniportInitialize was called
  UINT selectedMediumIndex = 0;
  std::optional<StationAddress> stationAddress;
  bool addressFromAdapter = false;      // the driver answered OID_802_3_CURRENT_ADDRESS
  // (Neither is looked up when SocketOptions::bind speaks for the adapter.)
};

struct InsertReport {
  bool installed = false;               // Install_Driver ran and succeeded
  std::string socketKey;                // Drivers\PCMCIA\<device key name>
  std::string miniport;                 // the socket key's Miniport value
  std::filesystem::path image;          // the library loaded for the miniport
  bool driverLoaded = false;            // DriverEntry registered a miniport
  std::vector<InstanceReport> instances;
  std::vector<std::string> errors;      // the Error events' texts
  // True when the driver loaded and every instance came up.
  bool ok() const;
};

struct RemoveReport {
  std::vector<std::string> halted;      // instances whose MiniportHalt ran
  // What the driver still held after the halts: verifier findings raised while halting, NDIS
  // memory and LocalAlloc memory the insertion left behind.
  std::vector<std::string> leftovers;
  bool clean() const { return leftovers.empty(); }
};

class Socket {
 public:
  // The socket works on the host's loop, bus and registry store; the host outlives it.
  Socket(ndis::Host &host, SocketOptions options);
  ~Socket();  // removes a card still inserted
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;

  // Called for every event as it happens (before insert()/remove() return).
  void setEventListener(std::function<void(const Event &)> listener);

  // Inserts the card. Problems are reported (events and the report), never thrown; the card
  // stays in the socket until remove() even when its driver could not be loaded. Throws
  // std::logic_error when a card is in the socket already.
  InsertReport insert(Card card);
  // Halts every adapter of the card, unmaps it, drops its interrupt lines and unloads the driver.
  // An empty socket gives an empty report and no event.
  RemoveReport remove();
  bool occupied() const;

  // The inserted card's instances (in Route order), and what each holds while inserted.
  std::vector<std::string> instances() const;
  ndis::Adapter *adapter(std::string_view instance) const;  // null unless it is running
  ceddk::PortDevice *device(std::string_view instance) const;  // null unless placed
  const std::filesystem::path &root() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The file that keeps an instance's card memory in the root folder.
std::filesystem::path nvFileName(std::string_view instance);

}  // namespace teskel::pccard
