// Register offsets, event bits, command codes, record ids and sizes of the simulated MAC
// controller, as its datasheet fixes them. Shared by the model and its tests.
#pragma once

#include <cstdint>

namespace teskel::sim::hw {

// Registers: offsets inside the 64-port window.
constexpr std::uint32_t kRegCommand = 0x00;
constexpr std::uint32_t kRegParam0 = 0x02;
constexpr std::uint32_t kRegParam1 = 0x04;
constexpr std::uint32_t kRegParam2 = 0x06;
constexpr std::uint32_t kRegStatus = 0x08;
constexpr std::uint32_t kRegResp0 = 0x0A;
constexpr std::uint32_t kRegResp1 = 0x0C;
constexpr std::uint32_t kRegResp2 = 0x0E;
constexpr std::uint32_t kRegInfoFid = 0x10;
constexpr std::uint32_t kRegControl = 0x14;
constexpr std::uint32_t kRegSelect0 = 0x18;
constexpr std::uint32_t kRegSelect1 = 0x1A;
constexpr std::uint32_t kRegOffset0 = 0x1C;
constexpr std::uint32_t kRegOffset1 = 0x1E;
constexpr std::uint32_t kRegRxFid = 0x20;
constexpr std::uint32_t kRegAllocFid = 0x22;
constexpr std::uint32_t kRegSnapshot24 = 0x24;
constexpr std::uint32_t kRegFirmwareVariant = 0x28;
constexpr std::uint32_t kRegBuildNumber = 0x2A;
constexpr std::uint32_t kRegSnapshot2C = 0x2C;
constexpr std::uint32_t kRegEventStatus = 0x30;
constexpr std::uint32_t kRegIntEnable = 0x32;
constexpr std::uint32_t kRegEventAck = 0x34;
constexpr std::uint32_t kRegData0 = 0x36;
constexpr std::uint32_t kRegData1 = 0x38;
constexpr std::uint32_t kRegAuxPage = 0x3A;
constexpr std::uint32_t kRegAuxOffset = 0x3C;
constexpr std::uint32_t kRegAuxData = 0x3E;
constexpr std::uint32_t kPortCount = 64;

constexpr std::uint16_t kBusy = 0x8000;  // REG_COMMAND and the offset registers

// Event bits.
constexpr std::uint16_t kEvRx = 0x0001;
constexpr std::uint16_t kEvTx = 0x0002;
constexpr std::uint16_t kEvTxError = 0x0004;
constexpr std::uint16_t kEvAlloc = 0x0008;
constexpr std::uint16_t kEvCmd = 0x0010;
constexpr std::uint16_t kEvInfo = 0x0080;

// Commands.
constexpr std::uint16_t kCmdInitialize = 0x0000;
constexpr std::uint16_t kCmdEnable = 0x0001;
constexpr std::uint16_t kCmdDisable = 0x0002;
constexpr std::uint16_t kCmdAllocate = 0x000A;
constexpr std::uint16_t kCmdTransmit = 0x010B;
constexpr std::uint16_t kCmdInquire = 0x0011;
constexpr std::uint16_t kCmdAccessRead = 0x0021;
constexpr std::uint16_t kCmdAccessWrite = 0x0121;
constexpr std::uint16_t kCmdProgramBegin = 0x0222;
constexpr std::uint16_t kCmdProgramCommit = 0x0322;

// Command results (bits 8..14 of the status word).
constexpr std::uint16_t kResultSuccess = 0;
constexpr std::uint16_t kResultUnknownCommand = 1;
constexpr std::uint16_t kResultNoSuchRecord = 2;
constexpr std::uint16_t kResultNoBufferMemory = 3;
constexpr std::uint16_t kResultBadParameter = 4;

// Record ids.
constexpr std::uint16_t kRidPortType = 0xFC00;
constexpr std::uint16_t kRidStationAddress = 0xFC01;
constexpr std::uint16_t kRidDesiredSsid = 0xFC02;
constexpr std::uint16_t kRidOwnChannel = 0xFC03;
constexpr std::uint16_t kRidAtimWindow = 0xFC05;
constexpr std::uint16_t kRidSystemScale = 0xFC06;
constexpr std::uint16_t kRidMaxDataLength = 0xFC07;
constexpr std::uint16_t kRidPmEnabled = 0xFC09;
constexpr std::uint16_t kRidPmLevel = 0xFC0A;
constexpr std::uint16_t kRidStationName = 0xFC0E;
constexpr std::uint16_t kRidWepDefaultKeyId = 0xFC23;
constexpr std::uint16_t kRidWepKey1 = 0xFC24;
constexpr std::uint16_t kRidWepKey4 = 0xFC27;
constexpr std::uint16_t kRidWepFlags = 0xFC28;
constexpr std::uint16_t kRidFragThreshold = 0xFC82;
constexpr std::uint16_t kRidRtsThreshold = 0xFC83;
constexpr std::uint16_t kRidTxRateControl = 0xFC84;
constexpr std::uint16_t kRidPromiscuous = 0xFC85;
constexpr std::uint16_t kRidTickTime = 0xFCE0;
constexpr std::uint16_t kRidDownloadBuffer = 0xFD01;
constexpr std::uint16_t kRidPrimaryRange = 0xFD03;
constexpr std::uint16_t kRidRegulatoryDomains = 0xFD11;
constexpr std::uint16_t kRidStationRange = 0xFD21;
constexpr std::uint16_t kRidPortStatus = 0xFD40;
constexpr std::uint16_t kRidCurrentBssid = 0xFD42;
constexpr std::uint16_t kRidCommsQuality = 0xFD43;
constexpr std::uint16_t kRidPrivacyImplemented = 0xFD4F;
constexpr std::uint16_t kRidPhyType = 0xFDC0;
constexpr std::uint16_t kRidCurrentChannel = 0xFDC1;

// Port status values (RID 0xFD40).
constexpr std::uint16_t kPortDisabled = 1;
constexpr std::uint16_t kPortSearching = 2;
constexpr std::uint16_t kPortAdHocJoined = 3;
constexpr std::uint16_t kPortAssociated = 4;
constexpr std::uint16_t kPortOutOfRange = 5;

// Information frames.
constexpr std::uint16_t kInfoTallies = 0xF100;
constexpr std::uint16_t kInfoLinkStatus = 0xF200;
constexpr std::uint16_t kLinkConnected = 1;
constexpr std::uint16_t kLinkDisconnected = 2;
constexpr std::uint16_t kLinkOutOfRange = 4;
constexpr std::uint16_t kLinkBackInRange = 5;
constexpr std::uint16_t kLinkAssociationFailed = 6;

// Tally counter indices.
constexpr unsigned kTallyTxUnicastFrames = 0;
constexpr unsigned kTallyTxMulticastFrames = 1;
constexpr unsigned kTallyTxUnicastOctets = 3;
constexpr unsigned kTallyTxMulticastOctets = 4;
constexpr unsigned kTallyTxDeferred = 5;
constexpr unsigned kTallyTxOneRetry = 6;
constexpr unsigned kTallyTxMultipleRetries = 7;
constexpr unsigned kTallyTxRetryLimit = 8;
constexpr unsigned kTallyTxErrors = 9;
constexpr unsigned kTallyRxUnicastFrames = 10;
constexpr unsigned kTallyRxMulticastFrames = 11;
constexpr unsigned kTallyRxUnicastOctets = 13;
constexpr unsigned kTallyRxMulticastOctets = 14;
constexpr unsigned kTallyRxErrors = 15;
constexpr unsigned kTallyRxNoBuffer = 16;
constexpr unsigned kTallyRxDuplicates = 17;
constexpr unsigned kTallyRxWepUndecryptable = 18;
constexpr unsigned kTallyCount = 32;

// Buffers.
constexpr std::uint16_t kFidFirst = 0x0100;
constexpr std::uint16_t kFidLast = 0x0FFF;
constexpr unsigned kTxBufferLimit = 16;
constexpr unsigned kRxBufferCount = 4;
constexpr std::size_t kRxBufferSize = 2372;
constexpr std::size_t kInfoBufferSize = 512;
constexpr unsigned kInfoBufferCount = 8;
constexpr std::size_t kDescriptorSize = 60;
constexpr std::size_t kMaxBody = 2304;

// Transmit buffer / receive descriptor fields.
constexpr std::size_t kDescStatus = 0;
constexpr std::size_t kDescFrameControl = 14;
constexpr std::size_t kDescBodyLength = 44;
constexpr std::size_t kDescDestination = 46;
constexpr std::size_t kDescSource = 52;
constexpr std::size_t kDescLength8023 = 58;
constexpr std::uint16_t kRxStatusRfc1042 = 0x2000;
constexpr std::uint16_t kRxStatusTunnel = 0x4000;

// Auxiliary port.
constexpr std::uint16_t kAuxKey0 = 0x5A4B;
constexpr std::uint16_t kAuxKey1 = 0x3C2D;
constexpr std::uint16_t kAuxKey2 = 0x1E0F;
constexpr std::uint16_t kControlEnable = 0x8000;
constexpr std::uint16_t kControlDisable = 0x4000;
constexpr std::uint16_t kControlEnabled = 0xC000;
constexpr std::uint16_t kControlDisabled = 0x0000;

// Controller memory (byte addresses, page << 7 | offset).
constexpr std::uint32_t kRamBase = 0x000000;
constexpr std::uint32_t kRamSize = 0x010000;
constexpr std::uint32_t kDownloadBuffer = 0x008000;
constexpr std::uint32_t kDownloadBufferSize = 8192;
constexpr std::uint32_t kNvBase = 0x3E0000;
constexpr std::uint32_t kNvSize = 0x020000;
constexpr std::uint32_t kProductionData = 0x3F0000;
constexpr std::uint32_t kProductionDataSize = 1024;

// Latencies in microseconds.
constexpr std::uint64_t kCommandBusyUs = 5;
constexpr std::uint64_t kCommandUs = 20;
constexpr std::uint64_t kInitializeUs = 500;
constexpr std::uint64_t kAllocEventUs = 100;
constexpr std::uint64_t kInquireInfoUs = 1000;
constexpr std::uint64_t kProgramCommitUs = 2000;
constexpr std::uint64_t kSeekUs = 3;
constexpr std::uint64_t kControlChangeUs = 100;
constexpr std::uint64_t kPreambleUs = 400;  // preamble and spacing added to every frame's air time
constexpr std::uint64_t kUsPerByte = 4;     // 2 Mbit/s

// The firmware identity read back by the register snapshot.
constexpr std::uint16_t kFirmwareVariant = 0x0002;
constexpr std::uint16_t kBuildNumber = 0x0127;

}  // namespace teskel::sim::hw
