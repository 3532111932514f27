// Link specifiers: the record is a wire format, so its layout is checked.
#include "common/vLinkSpecifier.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

TEST(LinkSpec, WireLayout)
{
    EXPECT_EQ(offsetof(linkSpec, type), 0u);
    EXPECT_EQ(offsetof(linkSpec, serialNumber), 4u);
    EXPECT_EQ(offsetof(linkSpec, moduleAddress), 8u);
    EXPECT_EQ(offsetof(linkSpec, routerAddress), 12u);
    EXPECT_EQ(offsetof(linkSpec, routerSerialNumber), 16u);
    EXPECT_EQ(offsetof(linkSpec, modelNumber), 20u);
    EXPECT_EQ(offsetof(linkSpec, transport.usb.identifier), 24u);
    EXPECT_EQ(offsetof(linkSpec, transport.ip.address), 24u);
    EXPECT_EQ(offsetof(linkSpec, transport.ip.port), 28u);
    EXPECT_EQ(offsetof(linkSpec, transport.serial.portName), 28u);
    linkSpec s;
    memset(&s, 0, sizeof s);
    s.serialNumber = 0x11223344;
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&s);
    EXPECT_EQ(b[4], 0x44); // little-endian on the wire
    EXPECT_EQ(b[7], 0x11);
}

TEST(LinkSpec, CreateCopyDestroy)
{
    linkSpec *a = vLinkSpec_Create(linkTypeUSB);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type, uint32_t(linkTypeUSB));
    for (size_t i = 4; i < sizeof(linkSpec); i++)
        ASSERT_EQ(reinterpret_cast<const uint8_t *>(a)[i], 0) << i;
    a->transport.raw[103] = 0x5A;
    linkSpec *b = vLinkSpec_Copy(a);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(memcmp(a, b, sizeof(linkSpec)), 0);
    EXPECT_EQ(vLinkSpec_Destroy(&a), vErrNone);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(vLinkSpec_Destroy(&a), vErrParam);
    EXPECT_EQ(vLinkSpec_Destroy(nullptr), vErrParam);
    EXPECT_EQ(vLinkSpec_Copy(nullptr), nullptr);
    vLinkSpec_Destroy(&b);
}
