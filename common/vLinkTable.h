// The process-wide table of link-engine links: hands out link ids (from 1,
// never reused), finds an existing link for a device, and counts its users.
//
// Every operation is atomic under the table mutex ("vLink_Managed"). An entry
// returned by a lookup stays valid until its last user extracts and frees it,
// so use an entry only while holding a use of its link. The identity fields
// (id, identifiers, linkType) never change after creation.
#pragma once

#include "common/vError.h"

#include <cstdint>

// Defined by the link engine and the link server respectively.
struct vLinkRecord;
struct vServer;

typedef struct linkTableEntry {
    uint32_t id;
    uint32_t ownerLinkId;   // client link made by a server: the real link it serves
    struct vServer *server; // link server wrapped around this link, or null
    uint32_t identifier0;   // serial number, or IPv4 address for clients
    uint32_t identifier1;   // IPv4 address for TCP/IP, port for clients, else 0
    uint32_t identifier2;   // port for TCP/IP, client counter for clients, else 0
    uint32_t linkType;      // 1 USB, 2 TCP/IP, 3 serial, 4 client
    int16_t useCount;
    struct vLinkRecord *link;
    struct linkTableEntry *next;
} linkTableEntry;

// Registers a new entry (use count 0, no server, owner 0) and returns its id,
// 0 on failure. The entry takes over link, the link engine's record for it
// (allocated zeroed by the caller); on failure the caller keeps it.
uint32_t sCreate2(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2, uint32_t linkType,
                  struct vLinkRecord *link = nullptr);
uint32_t sCreate(uint32_t identifier0, uint32_t identifier1, uint32_t linkType, struct vLinkRecord *link = nullptr);

linkTableEntry *sLookupEntryByID(uint32_t id);
linkTableEntry *sLookupEntryByIdentifier(uint32_t identifier0, uint32_t linkType);
linkTableEntry *sLookupEntryByTrident(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2);
// Unlinks the entry and hands it to the caller (null if absent), who releases
// its record and server and then frees it with sFreeEntry.
linkTableEntry *sExtractEntry(uint32_t id);
// Adds delta to the use count (a null entry is ignored); returns the new count.
int sChangeUseCount(linkTableEntry *entry, int delta);
struct vLinkRecord *sGetLink(uint32_t id);

// Frees an extracted entry (not its record or server) and clears *entry.
void sFreeEntry(linkTableEntry **entry);
// Read and change an entry's mutable fields under the table mutex.
int sGetUseCount(const linkTableEntry *entry);
struct vServer *sGetServer(const linkTableEntry *entry);
void sSetServer(linkTableEntry *entry, struct vServer *server);
void sSetOwnerLinkId(linkTableEntry *entry, uint32_t ownerLinkId);
uint32_t sGetOwnerLinkId(const linkTableEntry *entry);
