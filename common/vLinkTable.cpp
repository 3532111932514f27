#include "common/vLinkTable.h"
#include "common/vDefs.h"
#include "common/vMutex.h"

#include <cstdlib>

namespace {

linkTableEntry *gHead = nullptr;
uint32_t gNextId = 1;

// Created once, on first use, before any table access.
vMutex *sTableMutex()
{
    static vMutex *mutex = vMutex_Create("vLink_Managed");
    return mutex;
}

class TableLock {
public:
    TableLock() { vMutex_Lock(sTableMutex()); }
    ~TableLock() { vMutex_Unlock(sTableMutex()); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
};

template <typename Match>
linkTableEntry *sFind(Match match)
{
    TableLock hold;
    for (linkTableEntry *e = gHead; e; e = e->next)
        if (match(*e))
            return e;
    return nullptr;
}

} // namespace

uint32_t sCreate2(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2, uint32_t linkType,
                  struct vLinkRecord *link)
{
    linkTableEntry *entry = static_cast<linkTableEntry *>(calloc(1, sizeof(linkTableEntry)));
    if (!entry)
        return 0;
    entry->identifier0 = identifier0;
    entry->identifier1 = identifier1;
    entry->identifier2 = identifier2;
    entry->linkType = linkType;
    entry->link = link;
    uint32_t id;
    {
        TableLock hold;
        id = gNextId++;
        if (gNextId == 0)
            gNextId = 1;
        entry->id = id;
        entry->next = gHead;
        gHead = entry;
    }
    vDefs_DebugPrintf(vDEBUG_LINK, " sCreate2: ident0: %d, ident1: %d, ident2: %d, type: %d, new id: %d\n",
                      int(identifier0), int(identifier1), int(identifier2), int(linkType), int(id));
    return id;
}

uint32_t sCreate(uint32_t identifier0, uint32_t identifier1, uint32_t linkType, struct vLinkRecord *link)
{
    return sCreate2(identifier0, identifier1, 0, linkType, link);
}

linkTableEntry *sLookupEntryByID(uint32_t id)
{
    return sFind([id](const linkTableEntry &e) { return e.id == id; });
}

linkTableEntry *sLookupEntryByIdentifier(uint32_t identifier0, uint32_t linkType)
{
    return sFind([=](const linkTableEntry &e) { return e.identifier0 == identifier0 && e.linkType == linkType; });
}

linkTableEntry *sLookupEntryByTrident(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2)
{
    return sFind([=](const linkTableEntry &e) {
        return e.identifier0 == identifier0 && e.identifier1 == identifier1 && e.identifier2 == identifier2;
    });
}

linkTableEntry *sExtractEntry(uint32_t id)
{
    linkTableEntry *found = nullptr;
    int remaining = 0;
    linkTableEntry *head;
    uint32_t nextId;
    {
        TableLock hold;
        for (linkTableEntry **at = &gHead; *at; at = &(*at)->next) {
            if ((*at)->id == id) {
                found = *at;
                *at = found->next;
                found->next = nullptr;
                break;
            }
        }
        for (linkTableEntry *e = gHead; e; e = e->next)
            ++remaining;
        head = gHead;
        nextId = gNextId;
    }
    vDefs_DebugPrintf(vDEBUG_LINK, "sExtractEntry() Links: head=%p, nextID=%d\n", static_cast<void *>(head), int(nextId));
    if (found) {
        vDefs_DebugPrintf(vDEBUG_LINK, "  sExtractEntry(%d) -  %d remaining\n", int(id), remaining);
        if (remaining == 0)
            vDefs_DebugPrintf(vDEBUG_LINK, "NO MORE LINKS\n");
    }
    return found;
}

int sChangeUseCount(linkTableEntry *entry, int delta)
{
    if (!entry)
        return 0;
    int count;
    {
        TableLock hold;
        entry->useCount = int16_t(entry->useCount + delta);
        count = entry->useCount;
    }
    vDefs_DebugPrintf(vDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", int(entry->id), delta, count);
    return count;
}

struct vLinkRecord *sGetLink(uint32_t id)
{
    TableLock hold;
    for (linkTableEntry *e = gHead; e; e = e->next)
        if (e->id == id)
            return e->link;
    return nullptr;
}

void sFreeEntry(linkTableEntry **entry)
{
    if (!entry || !*entry)
        return;
    free(*entry);
    *entry = nullptr;
}

int sGetUseCount(const linkTableEntry *entry)
{
    if (!entry)
        return 0;
    TableLock hold;
    return entry->useCount;
}

struct vServer *sGetServer(const linkTableEntry *entry)
{
    if (!entry)
        return nullptr;
    TableLock hold;
    return entry->server;
}

void sSetServer(linkTableEntry *entry, struct vServer *server)
{
    if (!entry)
        return;
    TableLock hold;
    entry->server = server;
}

void sSetOwnerLinkId(linkTableEntry *entry, uint32_t ownerLinkId)
{
    if (!entry)
        return;
    TableLock hold;
    entry->ownerLinkId = ownerLinkId;
}

uint32_t sGetOwnerLinkId(const linkTableEntry *entry)
{
    if (!entry)
        return 0;
    TableLock hold;
    return entry->ownerLinkId;
}
