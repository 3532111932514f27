// IPv4 multicast sockets: the local link-server discovery exchange and the
// server's responder use them. Addresses are in network byte order, ports in
// host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct vMulticastRecord vMulticast;

// A UDP socket joined to group on the interface (0 or 127.0.0.1 both mean
// 127.0.0.1), sending through that interface with TTL 1 and loopback on, with
// a 1 s receive timeout. A receiver (sender 0) is bound to the port on any
// address without address reuse, so a second receiver on a port fails; a
// sender (sender 1) is not bound and sends to group:port. Null on any failure.
vMulticast *vMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, int sender);
// -2 for null, -3 for a receiver, else what sendto gives (-1 on failure).
int vMulticast_Send(vMulticast *socket, const void *data, size_t length);
// One datagram, cut to size: -2 for null, -3 for a sender, -1 on error or
// timeout, else the number of bytes stored.
int vMulticast_Receive(vMulticast *socket, void *buffer, size_t size);
// Closes and frees, clearing the caller's handle; -2 for null, else 0.
int vMulticast_Destroy(vMulticast **socket);
