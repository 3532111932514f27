// Module and the entity classes against corvantis-sim: connecting, the
// module queries, every SystemClass option, byte arrays, the store entity,
// and I2C through a router to a module behind it.
#include "tests/device/device_fixture.h"

using namespace devtest;

namespace {

constexpr uint32_t kSerial = 0x0012ABCD;

struct ModuleOnSim : ::testing::Test {
    SimOverTcp sim{kSerial, ",model=21,build=900,version=2.12.4,name=Line 3 hub,address=6"};
    Module module{2, uint8_t(0)};
    SystemClass system;

    void SetUp() override
    {
        ASSERT_TRUE(connectModule(module, sim.spec()));
        system.init(&module, 0);
    }
};

TEST_F(ModuleOnSim, AutoNetworkingLearnsTheDeviceAddress)
{
    // Constructed with address 2, the device sits at 6.
    EXPECT_EQ(module.getModuleAddress(), 6);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getStatus(), 2);
    EXPECT_EQ(module.connectFromSpec(sim.spec()), vErrBusy);

    Module fixed(2, false, 0);
    ASSERT_TRUE(connectModule(fixed, sim.spec()));
    EXPECT_EQ(fixed.getModuleAddress(), 2);
    EXPECT_EQ(fixed.connect(linkTypeTCPIP, 0), vErrParam);
}

TEST_F(ModuleOnSim, ModuleQueries)
{
    uint32_t build = 0;
    ASSERT_EQ(module.getBuild(&build), vErrNone);
    EXPECT_EQ(build, 900u);
    EXPECT_EQ(module.getBuild(nullptr), vErrParam);

    struct Case {
        uint8_t command, option, index, flags;
        vErr expected;
    } cases[] = {
        {3, 9, 0, 0x40, vErrNone},              // serial number: get
        {3, 9, 0, 0x80, vErrInvalidOption},     // ... but no set
        {3, 32, 0, 0x80, vErrNone},             // name: set
        {3, 27, 0, 0, vErrNone},                // temperature
        {3, 9, 1, 0, vErrInvalidEntity},        // no system entity 1
        {40, 1, 0, 0, vErrInvalidEntity},       // no such class
        {3, 9, 0, 0xC0, vErrParam},
        {3, 9, 0, 0x01, vErrParam},
        {3, 9, 0, 0x20, vErrParam},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.command) << "/" << int(c.option) << " flags " << int(c.flags));
        EXPECT_EQ(module.hasUEI(c.command, c.option, c.index, c.flags), c.expected);
    }

    uint8_t count = 99;
    ASSERT_EQ(module.classQuantity(3, &count), vErrNone);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(module.classQuantity(8, &count), vErrNone);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(module.subClassQuantity(3, 0, &count), vErrNone);
    ASSERT_EQ(module.entityGroup(3, 0, &count), vErrNone);

    const uint8_t echo[] = {1, 2, 3, 250, 0};
    EXPECT_EQ(module.debug(echo, sizeof echo), vErrNone);
    EXPECT_EQ(module.debug(echo, 0), vErrNone);

    module.disconnect();
    EXPECT_EQ(module.debug(echo, 1), vErrConnection);
    EXPECT_EQ(module.getBuild(&build), vErrConnection);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0), vErrConnection);
    EXPECT_EQ(module.classQuantity(3, &count), vErrConnection);
    EXPECT_EQ(count, 0);
    // And back, through reconnect.
    EXPECT_EQ(module.reconnect(), vErrNone);
    EXPECT_EQ(module.getBuild(&build), vErrNone);
}

TEST_F(ModuleOnSim, SystemIdentity)
{
    uint32_t v32 = 0;
    uint8_t v8 = 0;
    ASSERT_EQ(system.getSerialNumber(&v32), vErrNone);
    EXPECT_EQ(v32, kSerial);
    ASSERT_EQ(system.getModel(&v8), vErrNone);
    EXPECT_EQ(v8, 21);
    ASSERT_EQ(system.getVersion(&v32), vErrNone);
    EXPECT_EQ(v32, sim.status()["version"].get<uint32_t>());
    EXPECT_EQ(sim.status()["version_text"], "2.12.4");
    ASSERT_EQ(system.getBuild(&v32), vErrNone);
    EXPECT_EQ(v32, 900u);
    ASSERT_EQ(system.getModule(&v8), vErrNone);
    EXPECT_EQ(v8, 6);
    ASSERT_EQ(system.getProtocolFeatures(&v32), vErrNone);
    EXPECT_EQ(v32, 0x80000000u);
    ASSERT_EQ(system.getModuleBaseAddress(&v8), vErrNone);
    EXPECT_EQ(v8, 6);
    ASSERT_EQ(system.getHardwareVersion(&v32), vErrNone);
    EXPECT_EQ(v32, 0x00010002u);

    EXPECT_EQ(system.getSerialNumber(nullptr), vErrParam);
    EXPECT_EQ(system.getModel(nullptr), vErrParam);
}

TEST_F(ModuleOnSim, SystemSettingsRoundTrip)
{
    struct Case {
        const char *name;
        vErr (SystemClass::*set)(uint8_t);
        vErr (SystemClass::*get)(uint8_t *);
        uint8_t value;
    } cases[] = {
        {"router", &SystemClass::setRouter, &SystemClass::getRouter, 8},
        {"heartbeat", &SystemClass::setHBInterval, &SystemClass::getHBInterval, 50},
        {"led", &SystemClass::setLED, &SystemClass::getLED, 0},
        {"boot slot", &SystemClass::setBootSlot, &SystemClass::getBootSlot, 1},
        {"software offset", &SystemClass::setModuleSoftwareOffset, &SystemClass::getModuleSoftwareOffset, 3},
        {"power behaviour", &SystemClass::setInputPowerBehavior, &SystemClass::getInputPowerBehavior, 2},
        {"link interface", &SystemClass::setLinkInterface, &SystemClass::getLinkInterface, 1},
        {"led brightness", &SystemClass::setLEDMaxBrightness, &SystemClass::getLEDMaxBrightness, 77},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ((system.*c.set)(c.value), vErrNone);
        uint8_t back = 0xEE;
        ASSERT_EQ((system.*c.get)(&back), vErrNone);
        EXPECT_EQ(back, c.value);
    }
    ASSERT_EQ(system.setPowerLimitMax(9000000), vErrNone);
    uint32_t limit = 0;
    ASSERT_EQ(system.getPowerLimitMax(&limit), vErrNone);
    EXPECT_EQ(limit, 9000000u);
    EXPECT_EQ(system.routeToMe(1), vErrNone);
}

TEST_F(ModuleOnSim, SystemMeasurementsAndCalls)
{
    struct Unsigned {
        const char *name;
        vErr (SystemClass::*get)(uint32_t *);
    } u32[] = {
        {"input voltage", &SystemClass::getInputVoltage}, {"input current", &SystemClass::getInputCurrent},
        {"uptime", &SystemClass::getUptime},              {"power limit", &SystemClass::getPowerLimit},
        {"power state", &SystemClass::getPowerLimitState}, {"errors", &SystemClass::getErrors},
    };
    for (const Unsigned &c : u32) {
        SCOPED_TRACE(c.name);
        uint32_t v = 0xFFFFFFFF;
        EXPECT_EQ((system.*c.get)(&v), vErrNone);
        EXPECT_NE(v, 0xFFFFFFFFu);
    }
    int32_t t = 0;
    ASSERT_EQ(system.getMinimumTemperature(&t), vErrNone);
    EXPECT_EQ(t, -2500000);  // signed on the wire
    ASSERT_EQ(system.getMaximumTemperature(&t), vErrNone);
    EXPECT_EQ(t, 41250000);
    EXPECT_EQ(system.getTemperature(&t), vErrNone);
    EXPECT_EQ(system.getUnregulatedVoltage(&t), vErrNone);
    EXPECT_EQ(system.getUnregulatedCurrent(&t), vErrNone);
    uint8_t v8;
    EXPECT_EQ(system.getInputPowerSource(&v8), vErrNone);
    EXPECT_EQ(system.getModuleHardwareOffset(&v8), vErrNone);
    EXPECT_EQ(system.getRouterAddressSetting(&v8), vErrNone);

    EXPECT_EQ(system.save(), vErrNone);
    EXPECT_EQ(system.logEvents(), vErrNone);
    EXPECT_EQ(system.resetDeviceToFactoryDefaults(), vErrNone);
    nlohmann::json e = sim.status()["entities"];
    EXPECT_EQ(e["saves"], 1);
    EXPECT_EQ(e["log_events"], 1);
    EXPECT_EQ(e["factory_resets"], 1);

    // Options the device has only one way round are refused by it.
    EXPECT_EQ(system.setUEI8(9, 1), vErrInvalidOption);
    uint8_t dummy;
    EXPECT_EQ(system.getUEI8(10, &dummy), vErrInvalidOption);
    // A getter of the wrong width does not hand on half a value.
    EXPECT_EQ(system.getUEI8(9, &dummy), vErrSize);
    // An entity index the device does not have.
    SystemClass other;
    other.init(&module, 5);
    uint32_t serial;
    EXPECT_EQ(other.getSerialNumber(&serial), vErrInvalidEntity);
}

TEST_F(ModuleOnSim, ByteArrays)
{
    char name[64];
    uint32_t length = 0;
    ASSERT_EQ(system.getName(name, sizeof name, &length), vErrNone);
    EXPECT_EQ(std::string(name, length), "Line 3 hub");

    std::string longer = "A name that needs more than one packet: 2 or 3";
    ASSERT_EQ(system.setName(longer.data(), uint32_t(longer.size())), vErrNone);
    ASSERT_EQ(system.getName(name, sizeof name, &length), vErrNone);
    EXPECT_EQ(std::string(name, length), longer);
    EXPECT_EQ(sim.status()["name"], longer);

    // Too small a buffer: vErrMemory, the part that fitted counted.
    ASSERT_EQ(system.getName(name, 10, &length), vErrMemory);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(system.getName(nullptr, 10, &length), vErrParam);
    EXPECT_EQ(system.getName(name, 0, &length), vErrParam);

    uint32_t values[8] = {};
    uint32_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(values, 8, &count), vErrNone);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(values[0], 1000u);
    EXPECT_EQ(values[2], 3000u);
    const uint32_t config[7] = {7, 0x01020304, 0xFFFFFFFF, 0, 42, 100000, 5};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(config, 7), vErrNone);
    ASSERT_EQ(system.getInputPowerBehaviorConfig(values, 8, &count), vErrNone);
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(0, std::memcmp(values, config, sizeof config));
    EXPECT_EQ(system.getInputPowerBehaviorConfig(values, 2, &count), vErrMemory);
}

TEST_F(ModuleOnSim, StoreEntity)
{
    struct Case {
        vErr (EntityClass::*call)();
        const char *counter;
    } cases[] = {
        {&EntityClass::saveEntityToStore, "store_saves"},
        {&EntityClass::resetEntityToFactoryDefaults, "store_resets"},
        {&EntityClass::loadEntityFromStore, "store_loads"},
    };
    SystemClass second;
    second.init(&module, 2);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.counter);
        ASSERT_EQ((second.*c.call)(), vErrNone);
        nlohmann::json e = sim.status()["entities"];
        EXPECT_EQ(e[c.counter], 1);
        EXPECT_EQ(e["store_entity"], 0x0302);
    }
    EntityClass unknown;
    unknown.init(&module, 40, 0);
    EXPECT_EQ(unknown.saveEntityToStore(), vErrInvalidEntity);
}

TEST(EntityUnbound, EveryOperationWantsAModuleWithALink)
{
    SystemClass system;
    uint32_t v32;
    uint8_t v8;
    EXPECT_EQ(system.getSerialNumber(&v32), vErrResource);
    EXPECT_EQ(system.setLED(1), vErrResource);
    EXPECT_EQ(system.callUEI(10), vErrResource);
    EXPECT_EQ(system.saveEntityToStore(), vErrResource);
    EXPECT_EQ(system.setStreamEnabled(true), vErrResource);
    uint8_t buffer[4];
    uint32_t count;
    EXPECT_EQ(system.getUEIBytes(32, buffer, 4, &count), vErrResource);
    EXPECT_EQ(system.sendPacket(23, 0, nullptr), vErrResource);
    I2CClass i2c;
    EXPECT_EQ(i2c.read(0x20, 1, &v8), vErrResource);
    // Bound but never connected: the link's code.
    Module module(2, uint8_t(0));
    system.init(&module, 0);
    EXPECT_EQ(system.getSerialNumber(&v32), vErrConnection);
    EXPECT_EQ(system.getIndex(), 0);
}

TEST(EntityCheck, BytesToElements)
{
    EntityClass e;
    struct Case {
        uint32_t count, unit;
        vErr expected;
        uint32_t after;
    } cases[] = {{12, 4, vErrNone, 3}, {10, 4, vErrMemory, 10}, {0, 4, vErrNone, 0}, {5, 1, vErrNone, 5}};
    for (const Case &c : cases) {
        uint32_t n = c.count;
        EXPECT_EQ(e.getUEIBytesCheck(&n, c.unit), c.expected);
        EXPECT_EQ(n, c.after);
    }
    EXPECT_EQ(e.getUEIBytesCheck(nullptr, 4), vErrParam);
}

// A router with a module behind it on its I2C bus.
struct RouterOnSim : ::testing::Test {
    fixtures::TempDir dir;
    std::unique_ptr<simtest::Sim> sim;
    Module router{2, uint8_t(0)};

    void SetUp() override
    {
        std::string cfg = dir.write("net.json", R"({"control": ")" + (dir / "ctl") + R"(", "devices": [
            {"serial": "0x00A0A0A0", "model": 17, "address": 2,
             "children": [{"serial": "0x00B0B0B0", "address": 16, "model": 13}]}]})");
        sim.reset(new simtest::Sim({"--config", cfg}));
        ASSERT_TRUE(connectModule(router, tcpSpec(0x00A0A0A0, sim->Port("tcp:00A0A0A0"))));
    }
};

TEST_F(RouterOnSim, ModuleBehindTheRouterSharesItsLink)
{
    Module child(16, uint8_t(0));
    EXPECT_EQ(child.connectThroughLinkModule(&router), vErrNone);
    EXPECT_TRUE(child.isConnected());
    EXPECT_EQ(child.getModuleAddress(), 16);
    // Already connected: nothing changes.
    EXPECT_EQ(child.connectThroughLinkModule(&router), vErrNone);
    SystemClass system;
    system.init(&child, 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), vErrNone);
    EXPECT_EQ(serial, 0x00B0B0B0u);
    EXPECT_EQ(sim->Device("00A0A0A0")["sessions"], 1);

    Module orphan(16, uint8_t(0));
    Module unconnected(2, uint8_t(0));
    EXPECT_EQ(orphan.connectThroughLinkModule(&unconnected), vErrNotFound);
}

TEST_F(RouterOnSim, I2CToTheModuleBehind)
{
    I2CClass i2c;
    i2c.init(&router, 0);
    const uint8_t write[] = {0x10, 0xCA, 0xFE, 0x42};
    ASSERT_EQ(i2c.write(16, sizeof write, write), vErrNone);
    ASSERT_EQ(i2c.write(16, 1, write), vErrNone);  // register pointer back to 0x10
    uint8_t back[3] = {};
    ASSERT_EQ(i2c.read(16, 3, back), vErrNone);
    EXPECT_EQ(back[0], 0xCA);
    EXPECT_EQ(back[2], 0x42);
    EXPECT_EQ(i2c.setPullup(true), vErrNone);
    // Nobody at that bus address: the router's code.
    EXPECT_EQ(i2c.write(40, 1, write), vErrNotFound);
    EXPECT_EQ(i2c.read(40, 1, back), vErrNotFound);

    uint8_t big[24] = {};
    EXPECT_EQ(i2c.read(16, 24, big), vErrSize);
    EXPECT_EQ(i2c.write(16, 24, big), vErrSize);
    EXPECT_EQ(i2c.setSpeed(4), vErrParam);
    EXPECT_EQ(i2c.setSpeed(3), vErrNone);
    EXPECT_EQ(i2c.getSpeed(), 3);
    EXPECT_EQ(sim->Device("00A0A0A0")["counters"]["i2c_reads"], 2);  // the refused read sent nothing

    // A module without an I2C bus refuses the entity.
    Module child(16, uint8_t(0));
    ASSERT_EQ(child.connectThroughLinkModule(&router), vErrNone);
    I2CClass none;
    none.init(&child, 0);
    EXPECT_EQ(none.write(16, 1, write), vErrInvalidEntity);
}

} // namespace
