// Information requests through the entry points: what the standard and private OIDs answer and
// change, their failures on a misbehaving controller, and the MIB records.
#include <cstring>

#include "linked_driver.h"
#include "port_trace.h"

namespace teskel::test {
namespace {

Bytes le32(std::uint32_t v) {
  return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
std::uint32_t get32(const Bytes &b, std::size_t at) { return le16(b, at) | (std::uint32_t(le16(b, at + 2)) << 16); }

// A MIB record in a buffer of `size` bytes; by default the length + 15 that the driver asks for.
Bytes mib(std::uint32_t id, std::uint32_t length, Bytes data, std::size_t size = 0) {
  Bytes r = concat({le32(id), le32(0xEEEEEEEE), le32(length), data});
  r.resize(size ? size : std::max<std::size_t>(16, length + 15), 0);
  return r;
}

class RequestTest : public RigTest {
 protected:
  void SetUp() override {
    rig.bringUp();
    ASSERT_FALSE(HasFatalFailure());
  }

  struct Answer {
    NDIS_STATUS status;
    ULONG done, needed;
    Bytes buffer;
  };
  Answer query(NDIS_OID oid, Bytes buffer) {
    auto r = rig.adapter->queryInformation(oid, buffer);
    return {r.status, r.bytesDone, r.bytesNeeded, buffer};
  }
  Answer query(NDIS_OID oid, std::size_t length) { return query(oid, Bytes(length, 0)); }
  // Through the entry point itself, so that what a set writes back into the buffer is seen.
  Answer set(NDIS_OID oid, Bytes buffer) {
    ULONG done = 0xEEEE, needed = 0xEEEE;
    NDIS_STATUS status = rig.call([&](PADAPTER a) {
      return MiniportSetInformation(a, oid, buffer.data(), static_cast<ULONG>(buffer.size()), &done, &needed);
    });
    return {status, done, needed, buffer};
  }
};

// ---- standard OIDs -------------------------------------------------------------------------------

TEST_F(RequestTest, FixedAnswersHaveTheirValuesLittleEndian) {
  EXPECT_EQ(query(OID_GEN_DRIVER_VERSION, 2).buffer, (Bytes{0x00, 0x04}));
  EXPECT_EQ(query(OID_GEN_VENDOR_DRIVER_VERSION, 2).buffer, (Bytes{9, 0}));
  EXPECT_EQ(query(OID_GEN_MAC_OPTIONS, 4).buffer, le32(11));
  EXPECT_EQ(query(OID_GEN_LINK_SPEED, 4).buffer, le32(20000));
  EXPECT_EQ(query(OID_GEN_MAXIMUM_LOOKAHEAD, 4).buffer, le32(1508));
  EXPECT_EQ(query(OID_GEN_MAXIMUM_TOTAL_SIZE, 4).buffer, le32(1514));
  EXPECT_EQ(query(OID_802_3_MAXIMUM_LIST_SIZE, 4).buffer, le32(32));
  EXPECT_EQ(query(OID_PRIV_VERSION, 4).buffer, (Bytes{1, 0, 1, 0}));
  sim::MacAddress mac = rig.stationAddress();
  EXPECT_EQ(query(OID_802_3_PERMANENT_ADDRESS, 6).buffer, Bytes(mac.begin(), mac.end()));
  EXPECT_EQ(query(OID_802_3_CURRENT_ADDRESS, 6).buffer, Bytes(mac.begin(), mac.end()));
  EXPECT_EQ(query(OID_GEN_VENDOR_ID, 4).buffer, (Bytes{0, mac[1], mac[2], mac[3]}));
  EXPECT_EQ(query(OID_GEN_VENDOR_DESCRIPTION, 64).done, sizeof("Halden IEEE 802.11 Adapter"));
}

TEST_F(RequestTest, NoVendorDescriptionIsOneZeroByte) {
  rig.record()->VendorDescription[0] = 0;
  Answer a = query(OID_GEN_VENDOR_DESCRIPTION, Bytes{0x55, 0x55});
  EXPECT_EQ(a.done, 1u);
  EXPECT_EQ(a.buffer, (Bytes{0, 0x55}));
}

TEST_F(RequestTest, MediaConnectFollowsTheLinkAndFailsWhenItCannotBeRead) {
  EXPECT_EQ(query(OID_GEN_MEDIA_CONNECT_STATUS, 4).buffer, le32(0));
  // The controller's port status read as searching.
  rig.tap->setReadHook([](const PortTap::Read &r) -> std::uint16_t {
    return r.path >= 0 && r.selected == RID_PORT_STATUS && r.position == 4 ? 2 : r.value;
  });
  EXPECT_EQ(query(OID_GEN_MEDIA_CONNECT_STATUS, 4).buffer, le32(1));
  EXPECT_EQ(rig.record()->LinkStatus, LINK_SEARCHING);
  // The port status is read, the BSSID is not: nothing of the adapter's changes.
  rig.tap->setReadHook(nullptr);
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD42"));
  Answer a = query(OID_GEN_MEDIA_CONNECT_STATUS, 4);
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.done, 0u);
  EXPECT_EQ(a.needed, 4u);
  EXPECT_EQ(rig.record()->LinkStatus, LINK_SEARCHING);
}

TEST_F(RequestTest, LookaheadNeverShrinksAndRefusesMoreThanTheMaximum) {
  EXPECT_EQ(set(OID_GEN_CURRENT_LOOKAHEAD, le32(100)).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.record()->CurrentLookahead, 1508u);
  rig.record()->CurrentLookahead = 200;
  EXPECT_EQ(set(OID_GEN_CURRENT_LOOKAHEAD, le32(100)).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.record()->CurrentLookahead, 200u);
  EXPECT_EQ(set(OID_GEN_CURRENT_LOOKAHEAD, le32(1508)).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.record()->CurrentLookahead, 1508u);
  Answer a = set(OID_GEN_CURRENT_LOOKAHEAD, le32(1509));
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 4u);
  EXPECT_EQ(a.done, 0u);
}

TEST_F(RequestTest, PacketFilterTakesTheEthernetTypesOnly) {
  EXPECT_EQ(set(OID_GEN_CURRENT_PACKET_FILTER, le32(0x0B)).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(query(OID_GEN_CURRENT_PACKET_FILTER, 4).buffer, le32(0x0B));
  for (std::uint32_t bit : {0x10u, 0x20u, 0x40u, 0x1000u, 0x2000u, 0x4000u, 0x8000u}) {
    Answer a = set(OID_GEN_CURRENT_PACKET_FILTER, le32(0x01 | bit));
    EXPECT_EQ(a.status, NDIS_STATUS_NOT_SUPPORTED) << bit;
    EXPECT_EQ(a.needed, 4u);
  }
  EXPECT_EQ(rig.record()->PacketFilter, 0x0Bu);
}

TEST_F(RequestTest, MulticastListIsKeptOverTheStartOfTheStoredOne) {
  Bytes two = concat({Bytes{1, 0, 0x5E, 0, 0, 1}, Bytes{1, 0, 0x5E, 0, 0, 2}});
  EXPECT_EQ(set(OID_802_3_MULTICAST_LIST, two).done, 12u);
  Answer a = set(OID_802_3_MULTICAST_LIST, Bytes{1, 0, 0x5E, 0, 0, 9});
  EXPECT_EQ(a.done, 6u);
  EXPECT_EQ(Bytes(rig.record()->MulticastList, rig.record()->MulticastList + 12),
            concat({Bytes{1, 0, 0x5E, 0, 0, 9}, Bytes{1, 0, 0x5E, 0, 0, 2}}));
}

TEST_F(RequestTest, CurrentAddressChangesOnlyWhenTheControllerTakesIt) {
  const Bytes changed = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(set(OID_802_3_CURRENT_ADDRESS, changed).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(query(OID_802_3_CURRENT_ADDRESS, 6).buffer, changed);
  sim::MacAddress mac = rig.stationAddress();
  EXPECT_EQ(Bytes(mac.begin(), mac.end()), changed);

  rig.controller->addFault(sim::parseFault("rid-readback=0xFC01"));
  Answer a = set(OID_802_3_CURRENT_ADDRESS, Bytes{0x02, 9, 9, 9, 9, 9});
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 6u);
  EXPECT_EQ(query(OID_802_3_CURRENT_ADDRESS, 6).buffer, changed);
}

// ---- private OIDs --------------------------------------------------------------------------------

TEST_F(RequestTest, RecordReadFillsTheBufferAndReportsWhatItNeeds) {
  Bytes buffer(20, 0);
  buffer[2] = 0x01;
  buffer[3] = 0xFC;  // station address: L = 4
  Answer a = query(OID_PRIV_RECORD, buffer);
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a.done, 10u);
  sim::MacAddress mac = rig.stationAddress();
  EXPECT_EQ(Bytes(a.buffer.begin() + 4, a.buffer.begin() + 10), Bytes(mac.begin(), mac.end()));

  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFC01"));
  a = query(OID_PRIV_RECORD, buffer);
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 0u);
}

TEST_F(RequestTest, RecordWriteIsCommittedAndARecordLongerThanItsBufferIsRefused) {
  Answer a = set(OID_PRIV_RECORD, Bytes{0x02, 0x00, 0x03, 0xFC, 0x0B, 0x00});
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a.done, 4u);
  EXPECT_EQ(rig.controller->recordWord(RID_DS_CHANNEL), std::optional<std::uint16_t>(11));

  rig.bus.setTracing(true);
  // The length word claims three data words in a buffer that holds one.
  a = set(OID_PRIV_RECORD, Bytes{0x04, 0x00, 0x01, 0xFC, 0x0B, 0x00});
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 10u);
  // More than a record buffer, in a buffer that would hold it.
  Bytes big(600, 0);
  big[0] = 252;
  big[2] = 0x03;
  big[3] = 0xFC;
  a = set(OID_PRIV_RECORD, big);
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 506u);
  // A length word of 0 does not even cover the identifier.
  a = set(OID_PRIV_RECORD, Bytes{0, 0, 0x03, 0xFC, 0x0B, 0x00});
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 4u);
  EXPECT_TRUE(rig.bus.trace().empty());

  rig.controller->addFault(sim::parseFault("rid-readback=0xFC03"));
  a = set(OID_PRIV_RECORD, Bytes{0x02, 0x00, 0x03, 0xFC, 0x05, 0x00});
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 4u);
}

TEST_F(RequestTest, CommandBlockGetsStatusAndResponsesBack) {
  Bytes block = concat({Bytes{0x21, 0x00}, Bytes{0xC1, 0xFD}, Bytes{0, 0}, Bytes{0, 0}});
  Answer a = set(OID_PRIV_COMMAND, block);
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a.done, 8u);
  EXPECT_EQ(le16(a.buffer, 0), 0x0021);  // result 0, the command echoed

  rig.controller->addFault(sim::parseFault("command-error=0x0021:2"));
  a = set(OID_PRIV_COMMAND, block);
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 8u);
  EXPECT_EQ(le16(a.buffer, 0), 0x0221);
}

TEST_F(RequestTest, HostSetHandsBackWhatTheCommandWroteOnlyInPlace) {
  const Bytes block = concat({Bytes{0x21, 0x00}, Bytes{0xC1, 0xFD}, Bytes{0, 0}, Bytes{0, 0}});
  Bytes inPlace = block, copied = block;
  rig.controller->addFault(sim::parseFault("command-error=0x0021:2"));
  EXPECT_EQ(rig.adapter->setInformationInPlace(OID_PRIV_COMMAND, inPlace).status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(le16(inPlace, 0), 0x0221);
  EXPECT_EQ(rig.adapter->setInformation(OID_PRIV_COMMAND, copied).status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(copied, block);
}

TEST_F(RequestTest, AuxEnableAndDisableReportAPortThatWillNotChange) {
  EXPECT_EQ(set(OID_PRIV_AUX_ENABLE, {}).status, NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(rig.controller->auxEnabled());
  EXPECT_EQ(set(OID_PRIV_AUX_DISABLE, Bytes(3, 0)).status, NDIS_STATUS_SUCCESS);
  EXPECT_FALSE(rig.controller->auxEnabled());
  rig.controller->addFault(sim::parseFault("aux-stuck"));
  Answer a = set(OID_PRIV_AUX_ENABLE, {});
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 0u);
}

TEST_F(RequestTest, MemoryRequestsWriteAndReadControllerMemory) {
  ASSERT_EQ(set(OID_PRIV_AUX_ENABLE, {}).status, NDIS_STATUS_SUCCESS);
  Bytes write = concat({le32(0x2000), Bytes{4, 0}, Bytes{0xCA, 0xFE, 0xBA, 0xBE}});
  EXPECT_EQ(set(OID_PRIV_AUX_MEMORY, write).done, 10u);
  Answer a = query(OID_PRIV_AUX_MEMORY, concat({le32(0x2000), Bytes{4, 0}, Bytes(4, 0)}));
  EXPECT_EQ(a.done, 10u);
  EXPECT_EQ(Bytes(a.buffer.begin() + 6, a.buffer.end()), (Bytes{0xCA, 0xFE, 0xBA, 0xBE}));
  // A request that the header says is longer than its buffer moves nothing.
  rig.bus.setTracing(true);
  a = query(OID_PRIV_AUX_MEMORY, concat({le32(0x2000), Bytes{8, 0}, Bytes(4, 0)}));
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 14u);
  EXPECT_TRUE(rig.bus.trace().empty());
}

TEST_F(RequestTest, ProductionDataComesFromTheControllerOrFails) {
  Answer a = query(OID_PRIV_PRODUCTION_DATA, 1024);
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a.buffer, rig.controller->memory(0x3F0000, 1024));
  rig.controller->addFault(sim::parseFault("aux-stuck"));
  a = query(OID_PRIV_PRODUCTION_DATA, 1024);
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 1024u);
  EXPECT_EQ(a.done, 0u);
}

TEST_F(RequestTest, TalliesAreTheCountersGatheredSoFarAndFailWithTheInquiry) {
  for (ULONG i = 0; i < TALLY_COUNT; ++i) rig.record()->Tallies[i] = 1000 + i;
  Answer a = query(OID_PRIV_TALLIES, 176);
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(get32(a.buffer, 0), 1000u);
  EXPECT_EQ(get32(a.buffer, 43 * 4), 1043u);
  rig.settle();
  rig.controller->addFault(sim::parseFault("command-error=0x0011"));
  a = query(OID_PRIV_TALLIES, 176);
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 176u);
}

TEST_F(RequestTest, LinkFiguresFromTheControllersRecords) {
  EXPECT_EQ(query(OID_PRIV_CURRENT_BSSID, 6).buffer, Bytes(DriverRig::kBssid.begin(), DriverRig::kBssid.end()));
  EXPECT_EQ(query(OID_PRIV_LINK_STATUS, 2).buffer, (Bytes{LINK_CONNECTED, 0}));
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFD42"));
  EXPECT_EQ(query(OID_PRIV_CURRENT_BSSID, 6).status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(query(OID_PRIV_LINK_STATUS, 2).status, NDIS_STATUS_FAILURE);
}

struct LevelCase {
  std::uint16_t quality, signal;
  std::uint8_t qualityStep, signalStep;
};

class LinkLevelTest : public RequestTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LinkLevelTest, QualityInFivesAndSignalInTensUpToFifteen) {
  // The comms quality words as the controller would give them on such a link.
  const LevelCase c = GetParam();
  rig.tap->setReadHook([c](const PortTap::Read &r) -> std::uint16_t {
    if (r.path < 0 || r.selected != RID_COMMS_QUALITY) return r.value;
    return r.position == 4 ? c.quality : r.position == 6 ? c.signal : r.value;
  });
  EXPECT_EQ(query(OID_PRIV_LINK_QUALITY, 1).buffer, Bytes{GetParam().qualityStep});
  EXPECT_EQ(query(OID_PRIV_SIGNAL_LEVEL, 1).buffer, Bytes{GetParam().signalStep});
}

INSTANTIATE_TEST_SUITE_P(Levels, LinkLevelTest,
                         ::testing::Values(LevelCase{92, 200, 15, 15}, LevelCase{74, 149, 14, 14},
                                           LevelCase{4, 9, 0, 0}, LevelCase{75, 150, 15, 15},
                                           LevelCase{80, 160, 15, 15}),
                         [](const auto &info) { return "Quality" + std::to_string(info.param.quality); });

TEST_F(RequestTest, ACommsQualityRecordShorterThanItsThreeWordsGivesNoFigure) {
  for (std::uint16_t length : {1, 2}) {
    SCOPED_TRACE(length);
    rig.tap->setReadHook([length](const PortTap::Read &r) -> std::uint16_t {
      if (r.path < 0 || r.selected != RID_COMMS_QUALITY) return r.value;
      return r.position == 0 ? length : r.value;
    });
    for (NDIS_OID oid : {OID_PRIV_LINK_QUALITY, OID_PRIV_SIGNAL_LEVEL}) {
      Answer a = query(oid, 1);
      EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
      EXPECT_EQ(a.done, 0u);
    }
  }
}

TEST_F(RequestTest, LinkFiguresBelongToInfrastructureOnly) {
  for (ULONG type : {0u, 3u}) {
    rig.record()->NetworkType = type;
    for (NDIS_OID oid : {OID_PRIV_LINK_QUALITY, OID_PRIV_SIGNAL_LEVEL}) {
      Answer a = query(oid, 1);
      EXPECT_EQ(a.status, NDIS_STATUS_INVALID_DATA);
      EXPECT_EQ(a.done, 0u);
      EXPECT_EQ(a.needed, 0u);
    }
  }
}

TEST_F(RequestTest, SettingsAreStoredAndReportedBack) {
  EXPECT_EQ(set(OID_PRIV_NETWORK_TYPE, Bytes{3, 9}).done, 1u);
  EXPECT_EQ(rig.record()->NetworkType, 3u);
  EXPECT_EQ(query(OID_PRIV_NETWORK_TYPE, 1).buffer, Bytes{3});
  EXPECT_EQ(set(OID_PRIV_ENCAPSULATION, Bytes{7}).done, 1u);
  EXPECT_EQ(query(OID_PRIV_ENCAPSULATION, 1).buffer, Bytes{7});
  EXPECT_EQ(set(OID_PRIV_TX_RATE, Bytes{0x34, 0x12, 0x99}).done, 2u);
  EXPECT_EQ(rig.record()->TxRate, 0x1234u);
  EXPECT_EQ(query(OID_PRIV_TX_RATE, 2).buffer, (Bytes{0x34, 0x12}));
  rig.bus.setTracing(true);
  EXPECT_EQ(set(OID_PRIV_WEP_REQUEST, Bytes{5}).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.record()->PrivacyInvoked, 1);
  EXPECT_EQ(rig.record()->ExcludeUnencrypted, 1);
  EXPECT_EQ(query(OID_PRIV_WEP_REQUEST, 1).buffer, Bytes{1});
  EXPECT_EQ(set(OID_PRIV_SUPPRESS_TRANSMIT, {}).done, 0u);
  EXPECT_EQ(rig.record()->TransmitSuppressed, 1);
  EXPECT_EQ(set(OID_PRIV_RESUME_TRANSMIT, {}).done, 0u);
  EXPECT_EQ(rig.record()->TransmitSuppressed, 0);
  EXPECT_TRUE(rig.bus.trace().empty());  // none of these reaches the controller
}

TEST_F(RequestTest, ResetConfiguresTheControllerAgainWithTheAdaptersSettings) {
  Bytes ssid = {'l', 'a', 'b'};
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_DESIRED_SSID, 3, ssid)).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(set(OID_PRIV_RESET, {}).status, NDIS_STATUS_SUCCESS);
  auto record = rig.controller->record(RID_SSID);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(le16(*record, 0), 3);
  EXPECT_EQ(Bytes(record->begin() + 2, record->begin() + 6), (Bytes{'l', 'a', 'b', 0}));
}

// ---- MIB records -----------------------------------------------------------------------------------

TEST_F(RequestTest, MibQueriesOfOneByteAttributes) {
  rig.record()->PhyType = 2;
  rig.record()->RegulatoryDomain = 16;
  rig.record()->PSMode = 0x0102;
  struct {
    std::uint32_t id;
    std::uint8_t value;
  } cases[] = {{MIB_PHY_TYPE, 2}, {MIB_CURRENT_REG_DOMAIN, 16}, {MIB_POWER_MANAGEMENT_MODE, 2},
               {MIB_PRIVACY_OPTION_IMPLEMENTED, rig.record()->WepSupported}, {MIB_CURRENT_CHANNEL, 6}};
  for (auto c : cases) {
    Answer a = query(OID_PRIV_MIB_RECORD, mib(c.id, 0, {}, 16));
    EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS) << std::hex << c.id;
    EXPECT_EQ(a.done, 16u);
    EXPECT_EQ(get32(a.buffer, 4), 0u);
    EXPECT_EQ(get32(a.buffer, 8), 1u);
    EXPECT_EQ(a.buffer[12], c.value) << std::hex << c.id;
  }
  Bytes shortRecord = mib(MIB_PHY_TYPE, 0, {});
  shortRecord.resize(15);
  Answer a = query(OID_PRIV_MIB_RECORD, shortRecord);
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 16u);
}

TEST_F(RequestTest, AnUnreadableChannelStillFillsTheRecord) {
  rig.controller->addFault(sim::parseFault("rid-unreadable=0xFDC1"));
  Answer a = query(OID_PRIV_MIB_RECORD, mib(MIB_CURRENT_CHANNEL, 0, {0xEE}, 16));
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 16u);
  EXPECT_EQ(get32(a.buffer, 8), 1u);
  EXPECT_EQ(a.buffer[12], 0);
}

TEST_F(RequestTest, MibSsidQueryNeedsItsLengthPlusFifteen) {
  std::memcpy(rig.record()->SSID, "abc", 4);
  rig.record()->SsidLength = 3;
  Answer a = query(OID_PRIV_MIB_RECORD, mib(MIB_DESIRED_SSID, 0, {}, 17));
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 18u);
  a = query(OID_PRIV_MIB_RECORD, mib(MIB_DESIRED_SSID, 0, {}, 18));
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a.done, 18u);
  EXPECT_EQ(get32(a.buffer, 8), 3u);
  EXPECT_EQ(Bytes(a.buffer.begin() + 12, a.buffer.begin() + 15), (Bytes{'a', 'b', 'c'}));
}

TEST_F(RequestTest, MibCountersAreTheOctetTallies) {
  rig.record()->Tallies[3] = 0x11223344;
  rig.record()->Tallies[4] = 5;
  rig.record()->Tallies[13] = 6;
  rig.record()->Tallies[14] = 7;
  for (auto [id, value] : {std::pair{MIB_TRANSMITTED_OCTETS_A, 0x11223344u}, std::pair{MIB_TRANSMITTED_OCTETS_B, 5u},
                           std::pair{MIB_RECEIVED_OCTETS_A, 6u}, std::pair{MIB_RECEIVED_OCTETS_B, 7u}}) {
    Answer a = query(OID_PRIV_MIB_RECORD, mib(id, 0, {}, 19));
    EXPECT_EQ(a.done, 19u);
    EXPECT_EQ(get32(a.buffer, 12), value);
    rig.settle();
  }
  Answer a = query(OID_PRIV_MIB_RECORD, mib(MIB_RECEIVED_OCTETS_A, 0, {}, 18));
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 19u);
}

TEST_F(RequestTest, MibAttributesADirectionDoesNotHaveAreUnknown) {
  Answer a = query(OID_PRIV_MIB_RECORD, mib(MIB_WEP_DEFAULT_KEY_VALUE, 0, {}, 32));
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_OID);
  EXPECT_EQ(a.needed, 0u);
  for (std::uint32_t id : std::vector<std::uint32_t>{MIB_PHY_TYPE, MIB_TRANSMITTED_OCTETS_A, 0x01010106}) {
    a = set(OID_PRIV_MIB_RECORD, mib(id, 1, {1}));
    EXPECT_EQ(a.status, NDIS_STATUS_INVALID_OID);
    EXPECT_EQ(a.needed, 0u);
    EXPECT_EQ(get32(a.buffer, 8), 0u);
  }
}

struct MibSetLength {
  std::uint32_t id;
  std::uint32_t length;
  ULONG needed;  // 0: accepted
};

class MibSetLengthTest : public RequestTest, public ::testing::WithParamInterface<MibSetLength> {};

TEST_P(MibSetLengthTest, EachAttributeTakesItsOwnDataLength) {
  const MibSetLength &c = GetParam();
  Answer a = set(OID_PRIV_MIB_RECORD, mib(c.id, c.length, Bytes(c.length, 'x')));
  if (c.needed == 0) {
    EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(a.done, c.length + 15);  // an empty name too: the record's need, not the smallest record
  } else {
    EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(a.needed, c.needed);
    EXPECT_EQ(a.done, 0u);
  }
  EXPECT_EQ(get32(a.buffer, 8), 0u);
}

INSTANTIATE_TEST_SUITE_P(Attributes, MibSetLengthTest,
                         ::testing::Values(MibSetLength{MIB_DESIRED_SSID, 32, 0}, MibSetLength{MIB_DESIRED_SSID, 33, 47},
                                           MibSetLength{MIB_DESIRED_SSID, 0, 0},
                                           MibSetLength{MIB_WEP_DEFAULT_KEY_VALUE, 5, 0},
                                           MibSetLength{MIB_WEP_DEFAULT_KEY_VALUE, 4, 20},
                                           MibSetLength{MIB_WEP_DEFAULT_KEY_INDEX, 1, 0},
                                           MibSetLength{MIB_WEP_DEFAULT_KEY_INDEX, 2, 16},
                                           MibSetLength{MIB_WEP_DEFAULT_KEY_INDEX, 0, 16}),
                         [](const auto &info) {
                           return "Id" + std::to_string(info.param.id) + "Length" + std::to_string(info.param.length);
                         });

TEST_F(RequestTest, AMibRecordLongerThanItsBufferIsRefusedWithWhatItWouldNeed) {
  Answer a = set(OID_PRIV_MIB_RECORD, mib(MIB_DESIRED_SSID, 10, {}, 24));
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 25u);
  a = set(OID_PRIV_MIB_RECORD, mib(MIB_DESIRED_SSID, 0xFFFFFFF8, {}, 16));
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 0xFFFFFFFFu);
  a = set(OID_PRIV_MIB_RECORD, Bytes(15, 0));
  EXPECT_EQ(a.needed, 16u);
}

TEST_F(RequestTest, AnSsidSetIsZeroTerminatedInAClearedField) {
  std::memset(rig.record()->SSID, 'z', sizeof(rig.record()->SSID));
  Bytes name(32, 'n');
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_DESIRED_SSID, 32, name)).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.record()->SsidLength, 32);
  EXPECT_EQ(rig.record()->SSID[32], 0);
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_DESIRED_SSID, 2, {'o', 'k'})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(Bytes(rig.record()->SSID, rig.record()->SSID + 33), concat({Bytes{'o', 'k'}, Bytes(31, 0)}));
}

TEST_F(RequestTest, KeySetsGoToTheSelectedKeyAndTheKeyIdToTheController) {
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_WEP_DEFAULT_KEY_INDEX, 1, {3})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(query(OID_PRIV_MIB_RECORD, mib(MIB_WEP_DEFAULT_KEY_INDEX, 0, {}, 16)).buffer[12], 3);
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_WEP_DEFAULT_KEY_VALUE, 5, {1, 2, 3, 4, 5})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.controller->record(RID_WEP_DEFAULT_KEY3), (Bytes{1, 2, 3, 4, 5, 0}));
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_WEP_DEFAULT_KEY_ID, 1, {2})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_DEFAULT_KEY_ID), std::optional<std::uint16_t>(2));
  EXPECT_EQ(rig.record()->DefaultKeyId, 2);
}

TEST_F(RequestTest, ChannelAndPowerSavingSetsActOnTheControllerAndFailWithIt) {
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_CURRENT_CHANNEL, 1, {9})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.controller->recordWord(RID_DS_CHANNEL), std::optional<std::uint16_t>(9));
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_POWER_MANAGEMENT_MODE, 1, {2})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.controller->recordWord(RID_PS_MODE), std::optional<std::uint16_t>(1));
  EXPECT_EQ(rig.record()->PSMode, 2);

  rig.controller->addFault(sim::parseFault("rid-readback=0xFC09"));
  Answer a = set(OID_PRIV_MIB_RECORD, mib(MIB_POWER_MANAGEMENT_MODE, 1, {0}));
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 16u);
  EXPECT_EQ(rig.record()->PSMode, 2);
}

// WEP flags follow both stored bytes: off, on, or on and excluding unencrypted frames.
struct WepCase {
  std::uint8_t privacy, exclude;
  std::uint16_t flags;
};

class WepFlagsTest : public RequestTest, public ::testing::WithParamInterface<WepCase> {};

TEST_P(WepFlagsTest, PrivacyAndExcludeSetsWriteFlagsFollowingBothBytes) {
  const WepCase &c = GetParam();
  // Either set writes the flags; the second one decides them.
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_EXCLUDE_UNENCRYPTED, 1, {c.exclude})).status, NDIS_STATUS_SUCCESS);
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_PRIVACY_INVOKED, 1, {c.privacy})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), std::optional<std::uint16_t>(c.flags));
  ASSERT_EQ(set(OID_PRIV_MIB_RECORD, mib(MIB_EXCLUDE_UNENCRYPTED, 1, {c.exclude})).status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rig.controller->recordWord(RID_WEP_FLAGS), std::optional<std::uint16_t>(c.flags));
  EXPECT_EQ(query(OID_PRIV_MIB_RECORD, mib(MIB_PRIVACY_INVOKED, 0, {}, 16)).buffer[12], c.privacy);
  EXPECT_EQ(query(OID_PRIV_MIB_RECORD, mib(MIB_EXCLUDE_UNENCRYPTED, 0, {}, 16)).buffer[12], c.exclude);
}

INSTANTIATE_TEST_SUITE_P(Flags, WepFlagsTest,
                         ::testing::Values(WepCase{0, 0, 0}, WepCase{0, 1, 0}, WepCase{1, 0, 1}, WepCase{1, 1, 3},
                                           WepCase{7, 0, 1}, WepCase{7, 9, 3}),
                         [](const auto &info) {
                           return "Privacy" + std::to_string(info.param.privacy) + "Exclude" +
                                  std::to_string(info.param.exclude);
                         });

TEST_F(RequestTest, AFailedFlagsWriteKeepsTheStoredByte) {
  rig.controller->addFault(sim::parseFault("rid-readback=0xFC28"));
  Answer a = set(OID_PRIV_MIB_RECORD, mib(MIB_PRIVACY_INVOKED, 1, {1}));
  EXPECT_EQ(a.status, NDIS_STATUS_FAILURE);
  EXPECT_EQ(a.needed, 16u);
  EXPECT_EQ(rig.record()->PrivacyInvoked, 1);
}

}  // namespace
}  // namespace teskel::test
