// The controller's register decoder, command engine, event queues, interrupt line and access
// paths. Every port access first lets due device work run, so the registers show the present.
//
// Violation kinds recorded (each entry starts with the kind and a colon):
//   command-while-busy, command-overlap, unknown-command, no-path-selected, data-while-seeking,
//   odd-offset, unknown-id, past-end, freed-buffer, buffer-in-flight, transmit-bad-buffer,
//   read-only-record, wrong-length, record-id-mismatch, aux-no-key,
//   control-bad-value, read-only-register, unused-register, misaligned-register.
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "controller_impl.h"

namespace teskel::sim {

using namespace hw;

namespace {
constexpr std::size_t kViolationLimit = 1000;
constexpr int kOwnSignal = 100;  // how strongly the card is heard

Micros latencyOf(std::uint16_t code) {
  switch (code) {
    case kCmdInitialize: return kInitializeUs;
    case kCmdProgramCommit: return kProgramCommitUs;
    default: return kCommandUs;
  }
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and the public face.

Controller::Impl::Impl(EventLoop &l, ceddk::PortBus &b, unsigned line, ControllerOptions opts)
    : loop(l), bus(b), irqLine(line), options(std::move(opts)), faults(options.faults) {
  ram.assign(kRamSize, 0);
  initNonVolatile();
  rng ^= options.serial;
  buildRecords();
  reloadFromProductionData();
  bus.setIrq(irqLine, false);
  // Each card's IV counter starts somewhere of its own.
  wepIv = static_cast<std::uint32_t>(random() & 0xFFFFFF);
  tsfBase = random() & 0x000000FFFFFFFFFFULL;
  tsfAt = loop.now();
  if (options.medium) {
    airPort = std::make_unique<AirPort>(*this);
    dcf = std::make_unique<air::Dcf>(loop, *options.medium, *airPort, stationAddress(), random(), kOwnSignal);
    updateInterest();
  }
}

Controller::Impl::~Impl() {
  for (auto &[token, id] : tasks) loop.cancel(id);
  dcf.reset();  // off the air before the rest goes
}

Controller::Controller(EventLoop &loop, ceddk::PortBus &bus, unsigned irqLine, ControllerOptions options)
    : impl_(std::make_unique<Impl>(loop, bus, irqLine, std::move(options))) {}

Controller::~Controller() = default;

std::uint16_t Controller::readPort16(std::uint32_t offset) {
  impl_->loop.runDueDevice();
  return impl_->read16(offset);
}
void Controller::writePort16(std::uint32_t offset, std::uint16_t value) {
  impl_->loop.runDueDevice();
  impl_->write16(offset, value);
}
std::uint8_t Controller::readPort8(std::uint32_t offset) {
  impl_->loop.runDueDevice();
  return impl_->read8(offset);
}
void Controller::writePort8(std::uint32_t offset, std::uint8_t value) {
  impl_->loop.runDueDevice();
  impl_->write8(offset, value);
}

namespace {
// The access path whose data port is at `offset`, or -1.
int dataPath(std::uint32_t offset) { return offset == kRegData0 ? 0 : offset == kRegData1 ? 1 : -1; }
}  // namespace

// On the wall clock time passes between the words, and device work may fall due in between:
// there every word is a single access.
void Controller::readPort16String(std::uint32_t offset, std::uint16_t *words, std::size_t count) {
  const int path = dataPath(offset);
  std::size_t done = 0;
  if (path >= 0 && impl_->loop.mode() == EventLoop::Mode::Virtual) {
    impl_->loop.runDueDevice();
    done = impl_->dataReadWords(path, words, count);
  }
  for (; done < count; ++done) words[done] = readPort16(offset);
}

void Controller::writePort16String(std::uint32_t offset, const std::uint16_t *words, std::size_t count) {
  const int path = dataPath(offset);
  std::size_t done = 0;
  if (path >= 0 && impl_->loop.mode() == EventLoop::Mode::Virtual) {
    impl_->loop.runDueDevice();
    done = impl_->dataWriteWords(path, words, count);
  }
  for (; done < count; ++done) writePort16(offset, words[done]);
}

ReceiveResult Controller::receiveFrame(const std::vector<std::uint8_t> &frame80211) {
  impl_->loop.runDueDevice();
  if (impl_->enabled && impl_->rxDropped(frame80211)) return ReceiveResult::Lost;
  const Micros now = impl_->loop.now();
  const Micros airtime = air::airtimeOf(frame80211.size());
  return impl_->hear(frame80211, impl_->signal, now > airtime ? now - airtime : 0);
}
int Controller::radioChannel() const { return impl_->enabled ? impl_->listenChannel : 0; }
void Controller::onTransmit(std::function<void(const TransmittedFrame &)> listener) {
  impl_->txListener = std::move(listener);
}
void Controller::reportLinkStatus(std::uint16_t code) {
  if (impl_->enabled) impl_->pushInfo(kInfoLinkStatus, {code});
}
void Controller::addFault(const Fault &fault) {
  impl_->faults.push_back(fault);
  impl_->updateInterest();
}
void Controller::clearFaults() {
  impl_->faults.clear();
  impl_->updateInterest();
}
const std::vector<std::string> &Controller::violations() const { return impl_->violations; }
void Controller::clearViolations() {
  impl_->violations.clear();
  impl_->violationsDropped = 0;
}
bool Controller::irqLevel() const { return impl_->irq; }
std::uint16_t Controller::eventStatus() const { return impl_->eventStatus(); }
std::uint16_t Controller::portStatus() const { return impl_->portStatusValue; }
bool Controller::portEnabled() const { return impl_->enabled; }
bool Controller::auxEnabled() const {
  impl_->settleControl();
  return impl_->control == kControlEnabled;
}
MacAddress Controller::stationAddress() const { return impl_->stationAddress(); }
std::optional<std::vector<std::uint8_t>> Controller::record(std::uint16_t rid) const {
  impl_->refreshDynamicRecord(rid);
  const RecordEntry *r = impl_->findRecord(rid);
  if (!r) return std::nullopt;
  return r->data;
}
std::optional<std::uint16_t> Controller::recordWord(std::uint16_t rid, std::size_t index) const {
  auto data = record(rid);
  if (!data || data->size() < 2 * index + 2) return std::nullopt;
  return le16(*data, 2 * index);
}
std::array<std::uint16_t, kTallyCount> Controller::tallies() const { return impl_->talliesNow; }
std::vector<std::uint16_t> Controller::transmitBuffers() const {
  std::vector<std::uint16_t> out;
  for (auto &[fid, b] : impl_->buffers)
    if (b.kind == BufferKind::Transmit) out.push_back(fid);
  return out;
}
std::size_t Controller::transmitBuffersInFlight() const {
  std::size_t n = 0;
  for (auto &[fid, b] : impl_->buffers)
    if (b.kind == BufferKind::Transmit && b.tx == TxState::InFlight) ++n;
  return n;
}
std::size_t Controller::receiveBuffersHeld() const { return impl_->receiveBuffersHeld(); }
std::size_t Controller::infoBuffersHeld() const { return impl_->infoQueue.size(); }
std::vector<std::uint8_t> Controller::memory(std::uint32_t address, std::size_t length) const {
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = impl_->memoryByte(address + static_cast<std::uint32_t>(i));
  return out;
}
std::string Controller::describeConfiguration() const { return impl_->describeConfiguration(); }

// ---------------------------------------------------------------------------------------------
// Time, faults and misuse.

void Controller::Impl::schedule(Micros delay, std::function<void()> fn) {
  std::uint64_t token = nextToken++;
  auto id = loop.after(
      delay,
      [this, token, fn = std::move(fn)] {
        forgetTask(token);
        fn();
      },
      EventLoop::Lane::Device);
  tasks.emplace_back(token, id);
}

void Controller::Impl::scheduleWork(Micros delay, std::function<void()> fn) {
  scheduleWorkAt(loop.now() + delay, std::move(fn));
}

void Controller::Impl::scheduleWorkAt(Micros when, std::function<void()> fn) {
  std::uint64_t token = nextToken++;
  std::uint64_t gen = generation;
  auto id = loop.at(
      when,
      [this, token, gen, fn = std::move(fn)] {
        forgetTask(token);
        if (gen == generation) fn();
      },
      EventLoop::Lane::Device);
  tasks.emplace_back(token, id);
}

void Controller::Impl::forgetTask(std::uint64_t token) {
  for (auto &t : tasks) {
    if (t.first != token) continue;
    t = tasks.back();
    tasks.pop_back();
    return;
  }
}

const Fault *Controller::Impl::fault(Fault::Kind kind) const {
  for (auto &f : faults)
    if (f.kind == kind) return &f;
  return nullptr;
}

const Fault *Controller::Impl::commandFault(Fault::Kind kind, std::uint16_t code) const {
  for (auto &f : faults)
    if (f.kind == kind && (!f.command || *f.command == code)) return &f;
  return nullptr;
}

bool Controller::Impl::useFault(Fault::Kind kind, const std::function<bool(const Fault &)> &match) {
  for (auto &f : faults) {
    if (f.kind != kind || !match(f)) continue;
    if (!f.count) return true;
    if (*f.count == 0) continue;
    --*f.count;
    return true;
  }
  return false;
}

void Controller::Impl::violate(const char *kind, const char *fmt, ...) {
  if (violations.size() >= kViolationLimit) {
    ++violationsDropped;
    return;
  }
  char details[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(details, sizeof details, fmt, ap);
  va_end(ap);
  char line[360];
  std::snprintf(line, sizeof line, "%s: %s (at %llu us)", kind, details,
                static_cast<unsigned long long>(loop.now()));
  violations.emplace_back(line);
}

// ---------------------------------------------------------------------------------------------
// Register decode.

std::uint16_t Controller::Impl::read16(std::uint32_t offset) {
  if (offset & 1) {
    violate("misaligned-register", "16-bit read at odd offset 0x%02X", offset);
    return 0xFFFF;
  }
  switch (offset) {
    case kRegCommand: return static_cast<std::uint16_t>((commandBusy() ? kBusy : 0) | (lastCommand & 0x7FFF));
    case kRegParam0: return param[0];
    case kRegParam1: return param[1];
    case kRegParam2: return param[2];
    case kRegStatus: return status;
    case kRegResp0: return resp[0];
    case kRegResp1: return resp[1];
    case kRegResp2: return resp[2];
    case kRegInfoFid: return infoFid;
    case kRegControl: settleControl(); return control;
    case kRegSelect0: return paths[0].select;
    case kRegSelect1: return paths[1].select;
    case kRegOffset0: return readOffset(0);
    case kRegOffset1: return readOffset(1);
    case kRegRxFid: return rxFid;
    case kRegAllocFid: return allocFid;
    case kRegSnapshot24: return 0x0000;
    case kRegFirmwareVariant: return kFirmwareVariant;
    case kRegBuildNumber: return kBuildNumber;
    case kRegSnapshot2C: return 0x0000;
    case kRegEventStatus: return eventStatus();
    case kRegIntEnable: return intEnable;
    case kRegEventAck: return 0;
    case kRegData0: return dataRead16(0);
    case kRegData1: return dataRead16(1);
    case kRegAuxPage: return auxPage;
    case kRegAuxOffset: return auxOffset;
    case kRegAuxData: return auxRead();
    default: return 0x0000;
  }
}

void Controller::Impl::write16(std::uint32_t offset, std::uint16_t value) {
  if (offset & 1) {
    violate("misaligned-register", "16-bit write of 0x%04X at odd offset 0x%02X", value, offset);
    return;
  }
  switch (offset) {
    case kRegCommand: writeCommand(value); return;
    case kRegParam0: param[0] = value; return;
    case kRegParam1: param[1] = value; return;
    case kRegParam2: param[2] = value; return;
    case kRegControl: writeControl(value); return;
    case kRegSelect0: writeSelect(0, value); return;
    case kRegSelect1: writeSelect(1, value); return;
    case kRegOffset0: writeOffset(0, value); return;
    case kRegOffset1: writeOffset(1, value); return;
    case kRegIntEnable:
      intEnable = value;
      updateIrq();
      return;
    case kRegEventAck: acknowledge(value); return;
    case kRegData0: dataWrite16(0, value); return;
    case kRegData1: dataWrite16(1, value); return;
    case kRegAuxPage:
      auxPage = value;
      auxAddress = (static_cast<std::uint32_t>(auxPage) << 7) | (auxOffset & 0x7F);
      return;
    case kRegAuxOffset:
      auxOffset = value;
      auxAddress = (static_cast<std::uint32_t>(auxPage) << 7) | (auxOffset & 0x7F);
      return;
    case kRegAuxData: auxWrite(value); return;
    case kRegStatus:
    case kRegResp0:
    case kRegResp1:
    case kRegResp2:
    case kRegInfoFid:
    case kRegRxFid:
    case kRegAllocFid:
    case kRegSnapshot24:
    case kRegFirmwareVariant:
    case kRegBuildNumber:
    case kRegSnapshot2C:
    case kRegEventStatus:
      violate("read-only-register", "write of 0x%04X to read-only register 0x%02X", value, offset);
      return;
    default: violate("unused-register", "write of 0x%04X to unused register 0x%02X", value, offset);
  }
}

std::uint8_t Controller::Impl::read8(std::uint32_t offset) {
  if (offset == kRegData0) return dataRead8(0);
  if (offset == kRegData1) return dataRead8(1);
  if (offset == kRegAuxData) return auxRead8();
  if (offset & 1) {
    violate("misaligned-register", "8-bit read at odd offset 0x%02X", offset);
    return 0xFF;
  }
  return static_cast<std::uint8_t>(read16(offset));
}

void Controller::Impl::write8(std::uint32_t offset, std::uint8_t value) {
  if (offset == kRegData0) return dataWrite8(0, value);
  if (offset == kRegData1) return dataWrite8(1, value);
  if (offset == kRegAuxData) return auxWrite8(value);
  if (offset & 1) {
    violate("misaligned-register", "8-bit write of 0x%02X at odd offset 0x%02X", value, offset);
    return;
  }
  write16(offset, value);
}

// ---------------------------------------------------------------------------------------------
// Events and the interrupt line.

std::uint16_t Controller::Impl::eventStatus() const {
  std::uint16_t s = 0;
  if (rxPresented) s |= kEvRx;
  if (txDone) s |= kEvTx;
  if (txError) s |= kEvTxError;
  if (!allocQueue.empty()) s |= kEvAlloc;
  if (cmdDone) s |= kEvCmd;
  if (!infoQueue.empty()) s |= kEvInfo;
  return s;
}

void Controller::Impl::updateIrq() {
  bool level = (eventStatus() & intEnable) != 0;
  if (level == irq) return;
  irq = level;
  bus.setIrq(irqLine, level);
}

void Controller::Impl::acknowledge(std::uint16_t bits) {
  // Bits of events that are not pending clear nothing: acknowledging them is harmless.
  if ((bits & kEvCmd)) cmdDone = false;
  if ((bits & kEvTx)) txDone = false;
  if ((bits & kEvTxError)) txError = false;
  if ((bits & kEvAlloc) && !allocQueue.empty()) {
    allocQueue.pop_front();
    if (!allocQueue.empty()) allocFid = allocQueue.front();
  }
  if ((bits & kEvInfo) && !infoQueue.empty()) {
    buffers.erase(infoQueue.front());
    infoQueue.pop_front();
    if (!infoQueue.empty()) infoFid = infoQueue.front();
  }
  if ((bits & kEvRx) && rxPresented) {
    // The acknowledged frame stays readable until the next one is presented.
    if (rxRetained) buffers.erase(*rxRetained);
    rxRetained = rxPresented;
    rxPresented.reset();
    presentNextRx();
  }
  updateIrq();
}

void Controller::Impl::presentNextRx() {
  if (rxPresented || rxWaiting.empty()) return;
  if (rxRetained) {
    buffers.erase(*rxRetained);
    rxRetained.reset();
  }
  rxPresented = rxWaiting.front();
  rxWaiting.pop_front();
  rxFid = *rxPresented;
}

// ---------------------------------------------------------------------------------------------
// Commands.

bool Controller::Impl::commandBusy() const {
  return fault(Fault::Kind::CommandBusy) != nullptr || loop.now() < commandBusyUntil;
}

void Controller::Impl::writeCommand(std::uint16_t code) {
  if (commandBusy()) {
    violate("command-while-busy", "command 0x%04X written while the command register is busy", code);
    return;
  }
  if (executing)
    violate("command-overlap", "command 0x%04X written before command 0x%04X completed", code, executingCode);
  lastCommand = code;
  commandBusyUntil = loop.now() + kCommandBusyUs;
  const std::array<std::uint16_t, 3> p = param;

  // A timed-out command is swallowed: it does nothing and never completes.
  if (useFault(Fault::Kind::CommandTimeout, [code](const Fault &f) { return !f.command || *f.command == code; }))
    return;
  executing = true;
  executingCode = code;
  if (const Fault *f = commandFault(Fault::Kind::CommandError, code)) {
    Outcome o;
    o.result = f->result;
    schedule(latencyOf(code), [this, code, o] { complete(code, o, false); });
    return;
  }
  const bool zero = commandFault(Fault::Kind::StatusZero, code) != nullptr;
  schedule(latencyOf(code), [this, code, p, zero] {
    Outcome o = execute(code, p);
    complete(code, o, zero);
  });
}

Controller::Impl::Outcome Controller::Impl::execute(std::uint16_t code, const std::array<std::uint16_t, 3> &p) {
  switch (code) {
    case kCmdInitialize: initialize(); return {};
    case kCmdEnable: enablePort(); return {};
    case kCmdDisable: disablePort(); return {};
    case kCmdAllocate: return cmdAllocate(p);
    case kCmdTransmit: return cmdTransmit(p);
    case kCmdInquire: return cmdInquire(p);
    case kCmdAccessRead: return cmdAccessRead(p);
    case kCmdAccessWrite: return cmdAccessWrite(p);
    case kCmdProgramBegin: return cmdProgramBegin(p);
    case kCmdProgramCommit: return cmdProgramCommit();
    default:
      violate("unknown-command", "command code 0x%04X", code);
      return {kResultUnknownCommand, {}};
  }
}

void Controller::Impl::complete(std::uint16_t code, const Outcome &o, bool statusZero) {
  status = statusZero ? 0 : static_cast<std::uint16_t>(((o.result & 0x7F) << 8) | (code & 0x3F));
  resp = o.resp;
  cmdDone = true;
  executing = false;
  updateIrq();
}

void Controller::Impl::initialize() {
  // Everything in flight belongs to the old generation and is dropped when it falls due.
  ++generation;
  buffers.clear();
  allocQueue.clear();
  infoQueue.clear();
  rxWaiting.clear();
  rxPresented.reset();
  rxRetained.reset();
  infoReserved = 0;
  cmdDone = txDone = txError = false;
  talliesNow.fill(0);
  programArmed.reset();
  for (auto &path : paths) path = AccessPath{};
  const bool wasAssociated = enabled && portStatusValue == kPortAssociated;
  enabled = false;
  startAfterFarewell = false;
  enterPhase(Phase::Off);
  portStatusValue = kPortDisabled;
  bssid = {};
  linkChannel = 0;
  quality = signal = noise = 0;
  resetConfigurationRecords();
  reloadFromProductionData();
  syncAddress();
  updateInterest();
  leaveNetwork(wasAssociated);
  updateIrq();
}

Controller::Impl::Outcome Controller::Impl::cmdAllocate(const std::array<std::uint16_t, 3> &p) {
  const std::uint16_t size = p[0];
  Outcome o;
  o.resp[0] = size;
  if (size == 0 || size > kRxBufferSize) {
    o.result = kResultBadParameter;
    return o;
  }
  if (transmitBufferCount() >= kTxBufferLimit) {
    o.result = kResultNoBufferMemory;
    return o;
  }
  if (const Fault *f = fault(Fault::Kind::AllocLimit); f && f->count && allocationsAnswered >= *f->count) return o;
  ++allocationsAnswered;
  const std::uint16_t fid = newFid();
  Buffer b;
  b.kind = BufferKind::Transmit;
  b.bytes.assign((size + 1u) & ~1u, 0);
  b.tx = TxState::Allocating;
  buffers[fid] = std::move(b);
  scheduleWork(kAllocEventUs, [this, fid] {
    auto it = buffers.find(fid);
    if (it == buffers.end()) return;
    it->second.tx = TxState::Held;
    allocQueue.push_back(fid);
    allocFid = allocQueue.front();
    updateIrq();
  });
  return o;
}

Controller::Impl::Outcome Controller::Impl::cmdInquire(const std::array<std::uint16_t, 3> &p) {
  Outcome o;
  o.resp[0] = p[0];
  if (p[0] != kInfoTallies) {
    o.result = kResultBadParameter;
    return o;
  }
  if (infoQueue.size() + infoReserved >= kInfoBufferCount) {
    o.result = kResultNoBufferMemory;
    return o;
  }
  ++infoReserved;
  scheduleWork(kInquireInfoUs, [this] {
    --infoReserved;
    std::vector<std::uint16_t> words(talliesNow.begin(), talliesNow.end());
    talliesNow.fill(0);
    pushInfo(kInfoTallies, words, true);
  });
  return o;
}

Controller::Impl::Outcome Controller::Impl::cmdAccessRead(const std::array<std::uint16_t, 3> &p) {
  const std::uint16_t rid = p[0];
  Outcome o;
  o.resp[0] = rid;
  RecordEntry *r = findRecord(rid);
  bool unreadable = false;
  for (auto &f : faults)
    if (f.kind == Fault::Kind::RidUnreadable && f.rid == rid) unreadable = true;
  if (!r || unreadable) {
    o.result = kResultNoSuchRecord;
    return o;
  }
  refreshDynamicRecord(rid);
  r->exchange.assign((r->length + 1u) * 2u, 0);
  putLe16(r->exchange, 0, r->length);
  putLe16(r->exchange, 2, rid);
  std::copy(r->data.begin(), r->data.end(), r->exchange.begin() + 4);
  r->staged = false;
  return o;
}

Controller::Impl::Outcome Controller::Impl::cmdAccessWrite(const std::array<std::uint16_t, 3> &p) {
  const std::uint16_t rid = p[0];
  Outcome o;
  o.resp[0] = rid;
  RecordEntry *r = findRecord(rid);
  if (!r) {
    o.result = kResultNoSuchRecord;
    return o;
  }
  const std::uint16_t length = le16(r->exchange, 0);
  const std::uint16_t id = le16(r->exchange, 2);
  if (r->readOnly) {
    violate("read-only-record", "access write to read-only record 0x%04X", rid);
    o.result = kResultBadParameter;
  } else if (id != rid) {
    violate("record-id-mismatch", "record 0x%04X committed with RID word 0x%04X", rid, id);
    o.result = kResultBadParameter;
  } else if (length != r->length) {
    violate("wrong-length", "record 0x%04X committed with length %u, its length is %u", rid, length, r->length);
    o.result = kResultBadParameter;
  } else {
    std::copy(r->exchange.begin() + 4, r->exchange.end(), r->data.begin());
    r->staged = false;
    if (rid == kRidStationAddress) syncAddress();  // applies at once
    if (rid == kRidPmEnabled) powerSaveChanged();
    updateInterest();
  }
  return o;
}

// ---------------------------------------------------------------------------------------------
// Access paths.

bool Controller::Impl::seekStuck(int path) const {
  for (auto &f : faults)
    if (f.kind == Fault::Kind::SeekBusy && (!f.path || *f.path == path)) return true;
  return false;
}

void Controller::Impl::writeSelect(int path, std::uint16_t value) {
  AccessPath &a = paths[path];
  a.select = value;
  a.selected = true;
  a.positioned = false;
}

void Controller::Impl::writeOffset(int path, std::uint16_t value) {
  AccessPath &a = paths[path];
  a.offsetReg = value;
  if (!a.selected) {
    violate("no-path-selected", "offset 0x%04X written on path %d with no id selected", value, path);
    a.positioned = false;
    return;
  }
  if (value & 1) violate("odd-offset", "path %d offset 0x%04X is odd", path, value);
  const std::uint32_t offset = value & 0x7FFEu;
  a.positioned = true;
  a.position = offset;
  a.seekUntil = loop.now() + kSeekUs;
  a.corruptReadback = false;
  a.readbackDecided = false;
  std::size_t size = 0;
  if (auto it = buffers.find(a.select); it != buffers.end()) {
    a.isRecord = false;
    a.resolved = true;
    size = it->second.bytes.size();
  } else if (RecordEntry *r = findRecord(a.select)) {
    a.isRecord = true;
    a.resolved = true;
    size = r->exchange.size();
  } else {
    a.resolved = false;
    violate("unknown-id", "path %d selected 0x%04X, which is no buffer or record", path, a.select);
    return;
  }
  if (offset > size)
    violate("past-end", "path %d seek to offset %u of 0x%04X, which has %zu bytes", path, offset, a.select, size);
}

std::uint16_t Controller::Impl::readOffset(int path) {
  AccessPath &a = paths[path];
  bool busy = a.positioned && (loop.now() < a.seekUntil || seekStuck(path));
  return static_cast<std::uint16_t>((a.offsetReg & 0x7FFF) | (busy ? kBusy : 0));
}

std::vector<std::uint8_t> *Controller::Impl::pathTarget(int path, const char *what) {
  AccessPath &a = paths[path];
  if (!a.positioned) {
    violate("no-path-selected", "data %s on path %d with no buffer selected and positioned", what, path);
    return nullptr;
  }
  if (!a.resolved) {
    violate("unknown-id", "data %s on path %d, which selects unknown id 0x%04X", what, path, a.select);
    return nullptr;
  }
  if (loop.now() < a.seekUntil || seekStuck(path)) {
    violate("data-while-seeking", "data %s on path %d while its offset register is busy", what, path);
    return nullptr;
  }
  if (a.isRecord) {
    RecordEntry *r = findRecord(a.select);
    return r ? &r->exchange : nullptr;
  }
  auto it = buffers.find(a.select);
  if (it == buffers.end()) {
    violate("freed-buffer", "data %s on path %d in buffer 0x%04X, which the controller has freed", what, path,
            a.select);
    return nullptr;
  }
  return &it->second.bytes;
}

std::uint16_t Controller::Impl::dataRead16(int path) {
  std::vector<std::uint8_t> *t = pathTarget(path, "read");
  if (!t) return 0;
  AccessPath &a = paths[path];
  const std::uint32_t pos = a.position;
  a.position += 2;
  if (pos + 2 > t->size()) {
    violate("past-end", "path %d read at offset %u of 0x%04X, which has %zu bytes", path, pos, a.select, t->size());
    return 0;
  }
  std::uint16_t v = le16(*t, pos);
  if (a.isRecord) {
    // The first read after a seek that reaches the staged data is one read-back; the length
    // and RID words cannot show a wrong image.
    if (!a.readbackDecided && pos >= 4) {
      a.readbackDecided = true;
      const std::uint16_t rid = a.select;
      a.corruptReadback = findRecord(rid)->staged &&
                          useFault(Fault::Kind::RidReadback, [rid](const Fault &f) { return f.rid == rid; });
    }
    if (a.corruptReadback && pos >= 4) v ^= 0xA5A5;
    return v;
  }
  const Buffer &b = buffers.at(a.select);
  if (b.kind == BufferKind::Transmit) {
    // The trailer sits behind the frame the 802.3 length field describes; a buffer too small
    // for a descriptor holds no frame and so no trailer.
    const bool hasFrame = b.bytes.size() >= kDescriptorSize;
    const std::uint32_t frameEnd =
        hasFrame ? (kDescriptorSize + be16(b.bytes, kDescLength8023) + 1u) & ~1u : 0xFFFFFFFFu;
    if (pos >= frameEnd && useFault(Fault::Kind::TagMismatch, [](const Fault &) { return true; }))
      v = static_cast<std::uint16_t>(~v);
  }
  return v;
}

void Controller::Impl::dataWrite16(int path, std::uint16_t value) {
  std::vector<std::uint8_t> *t = pathTarget(path, "write");
  if (!t) return;
  AccessPath &a = paths[path];
  const std::uint32_t pos = a.position;
  a.position += 2;
  if (pos + 2 > t->size()) {
    violate("past-end", "path %d write at offset %u of 0x%04X, which has %zu bytes", path, pos, a.select, t->size());
    return;
  }
  if (a.isRecord) {
    findRecord(a.select)->staged = true;
  } else if (buffers.at(a.select).tx == TxState::InFlight && buffers.at(a.select).kind == BufferKind::Transmit) {
    violate("buffer-in-flight", "path %d write into buffer 0x%04X while the controller transmits it", path, a.select);
    return;
  }
  putLe16(*t, pos, value);
}

// An 8-bit access moves the low byte of the word at the position; the cursor stays word-sized.
std::uint8_t Controller::Impl::dataRead8(int path) {
  std::vector<std::uint8_t> *t = pathTarget(path, "read");
  if (!t) return 0;
  AccessPath &a = paths[path];
  const std::uint32_t pos = a.position;
  a.position += 2;
  if (pos + 1 > t->size()) {
    violate("past-end", "path %d byte read at offset %u of 0x%04X, which has %zu bytes", path, pos, a.select,
            t->size());
    return 0;
  }
  return (*t)[pos];
}

void Controller::Impl::dataWrite8(int path, std::uint8_t value) {
  std::vector<std::uint8_t> *t = pathTarget(path, "write");
  if (!t) return;
  AccessPath &a = paths[path];
  const std::uint32_t pos = a.position;
  a.position += 2;
  if (pos + 1 > t->size()) {
    violate("past-end", "path %d byte write at offset %u of 0x%04X, which has %zu bytes", path, pos, a.select,
            t->size());
    return;
  }
  if (a.isRecord) {
    findRecord(a.select)->staged = true;
  } else if (buffers.at(a.select).tx == TxState::InFlight && buffers.at(a.select).kind == BufferKind::Transmit) {
    violate("buffer-in-flight", "path %d write into buffer 0x%04X while the controller transmits it", path, a.select);
    return;
  }
  (*t)[pos] = value;
}

Buffer *Controller::Impl::quietBuffer(int path) {
  AccessPath &a = paths[path];
  if (!a.positioned || !a.resolved || a.isRecord || loop.now() < a.seekUntil || seekStuck(path)) return nullptr;
  auto it = buffers.find(a.select);
  return it == buffers.end() ? nullptr : &it->second;
}

std::size_t Controller::Impl::dataReadWords(int path, std::uint16_t *words, std::size_t count) {
  Buffer *b = quietBuffer(path);
  if (!b) return 0;
  AccessPath &a = paths[path];
  const std::size_t pos = a.position, size = b->bytes.size();
  std::size_t n = std::min(count, pos < size ? (size - pos) / 2 : 0);
  if (b->kind == BufferKind::Transmit && fault(Fault::Kind::TagMismatch) && size >= kDescriptorSize) {
    // Words from the trailer on may be the ones a fault corrupts.
    const std::size_t frameEnd = (kDescriptorSize + be16(b->bytes, kDescLength8023) + 1u) & ~std::size_t{1};
    n = std::min(n, frameEnd > pos ? (frameEnd - pos) / 2 : 0);
  }
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(words, b->bytes.data() + pos, 2 * n);
  } else {
    for (std::size_t i = 0; i < n; ++i) words[i] = le16(b->bytes, pos + 2 * i);
  }
  a.position += static_cast<std::uint32_t>(2 * n);
  return n;
}

std::size_t Controller::Impl::dataWriteWords(int path, const std::uint16_t *words, std::size_t count) {
  Buffer *b = quietBuffer(path);
  if (!b || (b->kind == BufferKind::Transmit && b->tx == TxState::InFlight)) return 0;
  AccessPath &a = paths[path];
  const std::size_t pos = a.position, size = b->bytes.size();
  const std::size_t n = std::min(count, pos < size ? (size - pos) / 2 : 0);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(b->bytes.data() + pos, words, 2 * n);
  } else {
    for (std::size_t i = 0; i < n; ++i) putLe16(b->bytes, pos + 2 * i, words[i]);
  }
  a.position += static_cast<std::uint32_t>(2 * n);
  return n;
}

// ---------------------------------------------------------------------------------------------
// Buffers.

std::uint16_t Controller::Impl::newFid() {
  // The pool never holds more than a few dozen buffers, so a free id is always near.
  for (;;) {
    std::uint16_t fid = nextFid;
    nextFid = nextFid == kFidLast ? kFidFirst : static_cast<std::uint16_t>(nextFid + 1);
    if (!buffers.count(fid)) return fid;
  }
}

std::size_t Controller::Impl::transmitBufferCount() const {
  std::size_t n = 0;
  for (auto &[fid, b] : buffers)
    if (b.kind == BufferKind::Transmit) ++n;
  return n;
}

std::size_t Controller::Impl::receiveBuffersHeld() const {
  return rxWaiting.size() + (rxPresented ? 1 : 0) + (rxRetained ? 1 : 0);
}

void Controller::Impl::returnTransmitBuffer(std::uint16_t fid, bool ok) {
  auto it = buffers.find(fid);
  if (it == buffers.end()) return;
  it->second.tx = TxState::Held;
  if (ok)
    txDone = true;
  else
    txError = true;
  allocQueue.push_back(fid);
  allocFid = allocQueue.front();
  updateIrq();
}

void Controller::Impl::pushInfo(std::uint16_t type, const std::vector<std::uint16_t> &words, bool reserved) {
  // Buffers that accepted inquiries reserved are theirs; a report without a buffer is lost.
  if (!reserved && infoQueue.size() + infoReserved >= kInfoBufferCount) return;
  Buffer b;
  b.kind = BufferKind::Info;
  b.bytes.assign(kInfoBufferSize, 0);
  putLe16(b.bytes, 0, static_cast<std::uint16_t>(words.size() + 1));
  putLe16(b.bytes, 2, type);
  for (std::size_t i = 0; i < words.size(); ++i) putLe16(b.bytes, 4 + 2 * i, words[i]);
  const std::uint16_t fid = newFid();
  buffers[fid] = std::move(b);
  infoQueue.push_back(fid);
  infoFid = infoQueue.front();
  updateIrq();
}

}  // namespace teskel::sim
