// Byte streams: one object with an operation table under every link.
//
// A stream reads and writes single bytes through its variant's operations;
// the generic layer adds a push-back ring (bytes an incomplete read handed
// back), exact-size reads, terminated records and zero-terminated texts.
// Variants: files, TCP client sockets, serial lines, COBS-framed streams.
#pragma once

#include "common/vError.h"

#include <stdint.h>

typedef struct vStream vStream;

// Variant operations; ref is the variant's own state record.
typedef vErr (*vStreamGetFn)(uint8_t *byte, void *ref);
typedef vErr (*vStreamPutFn)(uint8_t byte, void *ref);
typedef vErr (*vStreamWriteFn)(const uint8_t *data, uint32_t length, void *ref);
typedef vErr (*vStreamDeleteFn)(void *ref);
// Optional: blocks until a byte may be read or the time-out passes.
// vErrNone when readable (or when the variant cannot tell), vErrTimeout when
// nothing arrived in time.
typedef vErr (*vStreamWaitFn)(uint32_t timeoutMs, void *ref);

#define vSTREAM_CHECK 0x4321

// New stream over the operations (any may be null), or null when memory runs out.
vStream *vStream_Create(vStreamGetFn get, vStreamPutFn put, vStreamWriteFn write,
                        vStreamDeleteFn del, void *reference);
// Installs the variant's readiness wait (see vStream_WaitReadable).
vErr vStream_SetWaitOperation(vStream *stream, vStreamWaitFn wait);
// Calls the delete operation, frees the stream and nulls the caller's pointer;
// returns the delete operation's result.
vErr vStream_Destroy(vStream **stream);
bool vStream_IsValid(const vStream *stream);

// Reads exactly size bytes. vErrNotReady when the stream ran dry part way: the
// bytes read so far are kept for the next read. vErrEOF hands over what was read.
vErr vStream_Read(vStream *stream, uint8_t *buffer, uint32_t size);
// Writes length bytes: one write operation call when there is one and length > 1,
// else one put per byte (stopping at the first error).
vErr vStream_Write(vStream *stream, const uint8_t *data, uint32_t length);

// Waits up to timeoutMs for a byte to read. vErrNone at once when pushed-back
// bytes are waiting; vErrUnimplemented when the variant has no wait operation
// (the caller then has to pace itself); vErrTimeout when nothing came.
vErr vStream_WaitReadable(vStream *stream, uint32_t timeoutMs);

// Reads bytes until the terminator sequence has been read (terminator bytes are
// not stored) or size bytes are stored; never stores more than size bytes.
// *count receives the number of bytes stored. End of file after at least one
// stored byte completes the record. vErrNotReady returns every byte consumed
// to the stream.
vErr vStream_ReadRecord(vStream *stream, uint8_t *buffer, uint32_t *count, uint32_t size,
                        const uint8_t *terminator, uint32_t terminatorLength);
vErr vStream_WriteRecord(vStream *stream, const uint8_t *data, uint32_t length,
                         const uint8_t *terminator, uint32_t terminatorLength);
// Zero-terminated texts: at most size - 1 bytes are stored, then a zero.
vErr vStream_ReadCString(vStream *stream, char *buffer, uint32_t size);
vErr vStream_WriteCString(vStream *stream, const char *text);
// Texts ended by a terminator text; the terminator travels with its zero byte.
vErr vStream_ReadCStringRecord(vStream *stream, char *buffer, uint32_t size, const char *terminator);
vErr vStream_WriteCStringRecord(vStream *stream, const char *text, const char *terminator);

// Copies from source to destination until the source reports an error; end of
// file ends the copy with success.
vErr vStream_Flush(vStream *source, vStream *destination);

// File streams: reading (get only) or writing (put and write). vErrResource on failure.
vErr vStream_CreateFileInput(const char *path, vStream **stream);
vErr vStream_CreateFileOutput(const char *path, vStream **stream);

// TCP client stream to an IPv4 address (network byte order) and port (host
// order), connected at once; vErrResource when it cannot be made.
vErr vStream_CreateSocket(uint32_t address, uint16_t port, vStream **stream);
// Socket stream over a connected descriptor the caller made (a socketpair end,
// an accepted connection). The stream owns the descriptor from then on, also
// when the create fails. It has no address, so it cannot reconnect.
vErr vStream_CreateSocketFromDescriptor(int fd, vStream **stream);

// Raw serial line. baudIndex 0..7 = 2400, 4800, 9600, 19200, 38400, 57600,
// 115200, 230400 (any other index opens at speed 0); parity 0/1; dataBits 0 = 8
// bits, 1 = 7 bits; stopBits 0 = one, 1 = two.
vErr vStream_CreateSerial(const char *path, int baudIndex, int parity, int dataBits, int stopBits,
                          vStream **stream);
// Serial line carrying one COBS frame with CRC-8 per packet.
vErr vStream_CreateSerial_Packetized(const char *path, int baudIndex, int parity, int dataBits,
                                     int stopBits, vStream **stream);
// Wraps any byte-level operation table in the COBS framing.
vErr vStream_CreateCobsEncoding(vStreamGetFn get, vStreamPutFn put, vStreamWriteFn write,
                                vStreamDeleteFn del, void *reference, vStream **stream);
// The same, with the underlying readiness wait passed through.
vErr vStream_CreateCobsEncodingWithWait(vStreamGetFn get, vStreamPutFn put, vStreamWriteFn write,
                                        vStreamDeleteFn del, vStreamWaitFn wait, void *reference,
                                        vStream **stream);
