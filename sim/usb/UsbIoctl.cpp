// The emulated USB bus: the usbfs ioctls of a device node.
#include "sim/usb/UsbBusPrivate.h"

#include <cerrno>
#include <cstring>

namespace cvsim {

UMockdevIoctlData *UsbBus::Impl::Resolve(UMockdevIoctlData *d, size_t offset, size_t len) {
    GError *err = nullptr;
    UMockdevIoctlData *r = umockdev_ioctl_data_resolve(d, offset, len, &err);
    if (err)
        g_error_free(err);
    return r;
}

void UsbBus::Impl::Reply(UMockdevIoctlClient *client, long res, int err) {
    umockdev_ioctl_client_complete(client, res, err);
}

gboolean UsbBus::Impl::On_Ioctl(Node &n, UMockdevIoctlClient *client) {
    std::lock_guard<std::mutex> hold(mu);
    Client &c = Client_Of(n, client);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    Dev *d = n.dev;
    if (n.kernel) {
        Reply(client, -1, ENOTTY);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_SUBMITURB:
        Submit(n, c, client);
        return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        Reap(c, client, request == USBDEVFS_REAPURB);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        Discard(c, client);
        return TRUE;
    default:
        break;
    }
    if (!d) {
        Reply(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = Resolve(arg, 0, sizeof(uint32_t));
        if (!caps) {
            Reply(client, -1, EFAULT);
            break;
        }
        uint32_t v = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        memcpy(caps->data, &v, sizeof v);
        Reply(client, 0, 0);
        g_object_unref(caps);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData *num = Resolve(arg, 0, sizeof(unsigned int));
        unsigned int iface = 0;
        if (num) {
            memcpy(&iface, num->data, sizeof iface);
            g_object_unref(num);
        }
        if (iface != 0) {
            Reply(client, -1, EINVAL);
            break;
        }
        if (request == USBDEVFS_RELEASEINTERFACE) {
            if (d->owner == &c)
                d->owner = nullptr;
            Reply(client, 0, 0);
            break;
        }
        if (d->owner && d->owner != &c) {
            Forget_Dead(n);
            // Forget_Dead may have freed the old owner's record.
            d = n.dev;
        }
        if (d->in_use || (d->owner && d->owner != &c)) {
            d->stats.refused_claims++;
            d->model->Refused();
            Reply(client, -1, EBUSY);
            break;
        }
        if (d->owner != &c) {
            d->owner = &c;
            d->in_bytes.clear();
            d->model->Reset();
            d->stats.claims++;
        }
        Reply(client, 0, 0);
        break;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        UMockdevIoctlData *num = Resolve(arg, 0, sizeof(unsigned int));
        unsigned int ep = 0;
        if (num) {
            memcpy(&ep, num->data, sizeof ep);
            g_object_unref(num);
        }
        if (ep & 0x80)
            d->in_halted = false;
        else
            d->out_halted = false;
        d->stats.clear_halts++;
        Reply(client, 0, 0);
        break;
    }
    case USBDEVFS_RESET:
        d->in_halted = d->out_halted = false;
        Reply(client, 0, 0);
        break;
    default:
        Reply(client, -1, ENOTTY);
        break;
    }
    return TRUE;
}

}  // namespace cvsim
