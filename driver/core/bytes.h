// Byte-order helpers: words are read from and written to byte buffers one byte at a time, so
// no word is ever loaded through a casted pointer from an address that may be odd.
#pragma once

static inline USHORT GetLeWord(const UCHAR *Bytes) { return (USHORT)(Bytes[0] | (Bytes[1] << 8)); }

static inline VOID PutLeWord(UCHAR *Bytes, USHORT Value) {
  Bytes[0] = (UCHAR)(Value & 0xFF);
  Bytes[1] = (UCHAR)(Value >> 8);
}

static inline ULONG GetLeDword(const UCHAR *Bytes) {
  return (ULONG)GetLeWord(Bytes) | ((ULONG)GetLeWord(Bytes + 2) << 16);
}

static inline VOID PutLeDword(UCHAR *Bytes, ULONG Value) {
  PutLeWord(Bytes, (USHORT)(Value & 0xFFFF));
  PutLeWord(Bytes + 2, (USHORT)(Value >> 16));
}

static inline USHORT GetBeWord(const UCHAR *Bytes) { return (USHORT)((Bytes[0] << 8) | Bytes[1]); }

// The send queue links packets through the first pointer of MiniportReserved, which belongs to
// the driver while it holds the packet.
static inline PNDIS_PACKET GetPacketLink(PNDIS_PACKET Packet) {
  PNDIS_PACKET Next;
  memcpy(&Next, Packet->MiniportReserved, sizeof(Next));
  return Next;
}

static inline VOID SetPacketLink(PNDIS_PACKET Packet, PNDIS_PACKET Next) {
  memcpy(Packet->MiniportReserved, &Next, sizeof(Next));
}
