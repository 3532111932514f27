// Device descriptions: what the JSON file and --device options turn into, and
// that a wrong description is refused with a message naming the key.
#include "sim/SimConfig.h"

#include <gtest/gtest.h>

using namespace cvsim;

TEST(Config, FullDescription) {
    SimConfig c = Parse_Config_Json(R"({
      "control": "/tmp/c.sock", "dump_dir": "/tmp/d", "discovery_interface": "192.0.2.1",
      "devices": [
        {"serial": "0x0012ABCD", "model": 21, "address": 4, "router_address": 2,
         "version": "3.1.2", "build": 900, "name": "Lab", "features": 0,
         "identifier": [1, 2, 3, 4294967295], "heartbeat_ms": 250, "block_size": 512,
         "load_base": 536871936, "reboot_ms": 50, "load_drops_link": true, "uei_data": false,
         "tcp": "0.0.0.0:5000",
         "faults": {"drop_reply": [{"sub": 1, "nth": 3}, {"sub": 4, "nth": 1, "count": 0}],
                    "data_wrong_count": 2, "sum_wrong": {"nth": 1}, "prepare_reject": {"nth": 2, "count": 3},
                    "load_no_reply": true, "gone_after_load": false, "drop_at_reboot": true,
                    "latency_us": 150, "refuse_second": true, "garbage": {"every": 4, "bytes": [255, 7]}},
         "children": [{"serial": 5, "address": 16, "version": 704643076}]},
        {"serial": 9, "pty": true}
      ]})");
    EXPECT_EQ(c.control_path, "/tmp/c.sock");
    EXPECT_EQ(c.dump_dir, "/tmp/d");
    EXPECT_EQ(c.discovery_interface, "192.0.2.1");
    ASSERT_EQ(c.devices.size(), 2u);
    const DeviceConfig &d = c.devices[0];
    EXPECT_EQ(d.serial, 0x0012ABCDu);
    EXPECT_EQ(d.model, 21);
    EXPECT_EQ(d.address, 4);
    EXPECT_EQ(d.router_address, 2);
    EXPECT_EQ(d.version, 0x2F030102u);
    EXPECT_EQ(d.build, 900u);
    EXPECT_EQ(d.name, "Lab");
    EXPECT_EQ(d.features, 0u);
    EXPECT_EQ(d.identifier[3], 0xFFFFFFFFu);
    EXPECT_EQ(d.heartbeat_ms, 250u);
    EXPECT_EQ(d.block_size, 512);
    EXPECT_EQ(d.load_base, 0x20000400u);
    EXPECT_EQ(d.reboot_ms, 50u);
    EXPECT_TRUE(d.load_drops_link);
    EXPECT_FALSE(d.uei_data);
    EXPECT_EQ(d.transport, "tcp");
    EXPECT_EQ(d.listen_address, "0.0.0.0");
    EXPECT_EQ(d.listen_port, 5000);
    const Faults &f = d.faults;
    ASSERT_EQ(f.drop_reply.size(), 2u);
    EXPECT_EQ(f.drop_reply[0].sub, 1);
    EXPECT_TRUE(f.drop_reply[0].when.Fires(3));
    EXPECT_FALSE(f.drop_reply[0].when.Fires(4));
    EXPECT_TRUE(f.drop_reply[1].when.Fires(1000));
    EXPECT_FALSE(f.data_wrong_count.Fires(1));
    EXPECT_TRUE(f.data_wrong_count.Fires(2));
    EXPECT_TRUE(f.sum_wrong.Fires(1));
    EXPECT_FALSE(f.sum_wrong.Fires(2));
    EXPECT_FALSE(f.prepare_reject.Fires(1));
    EXPECT_TRUE(f.prepare_reject.Fires(4));
    EXPECT_FALSE(f.prepare_reject.Fires(5));
    EXPECT_TRUE(f.load_no_reply);
    EXPECT_TRUE(f.drop_at_reboot);
    EXPECT_EQ(f.latency_us, 150u);
    EXPECT_TRUE(f.refuse_second);
    EXPECT_EQ(f.garbage_every, 4u);
    EXPECT_EQ(f.garbage_bytes, (std::vector<uint8_t>{255, 7}));
    ASSERT_EQ(d.children.size(), 1u);
    EXPECT_TRUE(d.router);
    EXPECT_EQ(d.children[0].version, 704643076u);
    EXPECT_EQ(c.devices[1].transport, "pty");
    EXPECT_EQ(c.devices[1].version, Pack_Version(2, 12, 4));  // the default
    Validate_Config(c);
}

TEST(Config, DeviceOption) {
    DeviceConfig d = Parse_Device_Option("serial=0xDEADBEEF,model=4,address=8,router=2,version=2.15.1,"
                                         "build=77,name=Line 3,heartbeat=100,tcp=127.0.0.1:7000");
    EXPECT_EQ(d.serial, 0xDEADBEEFu);
    EXPECT_EQ(d.model, 4);
    EXPECT_EQ(d.address, 8);
    EXPECT_EQ(d.router_address, 2);
    EXPECT_EQ(d.version, 0x2F020F01u);
    EXPECT_EQ(d.build, 77u);
    EXPECT_EQ(d.name, "Line 3");
    EXPECT_EQ(d.heartbeat_ms, 100u);
    EXPECT_EQ(d.listen_port, 7000);
    EXPECT_EQ(Parse_Device_Option("serial=1,pty").transport, "pty");
    // USB options are kept as JSON text, which a byte that is not UTF-8 cannot be.
    try {
        Parse_Device_Option("serial=1,usb=\xE1[");
        ADD_FAILURE() << "accepted USB options that are not UTF-8";
    } catch (const ConfigError &e) {
        EXPECT_NE(std::string(e.what()).find("UTF-8"), std::string::npos) << e.what();
    }
}

TEST(Config, MistakesNameTheirKey) {
    struct Case {
        const char *json;
        const char *mentions;
    } cases[] = {
        {"[]", "config"},
        {"{\"devices\": [{}]}", "needs \"serial\""},
        {"{\"devices\": [{\"serial\": 1, \"modle\": 3}]}", "modle"},
        {"{\"devices\": [{\"serial\": 1, \"model\": 256}]}", "devices[0].model"},
        {"{\"devices\": [{\"serial\": -1}]}", "negative"},
        {"{\"devices\": [{\"serial\": \"12x\"}]}", "not a number"},
        {"{\"devices\": [{\"serial\": 1, \"block_size\": 0}]}", "block_size"},
        {"{\"devices\": [{\"serial\": 1, \"faults\": {\"latency\": 3}}]}", "latency"},
        {"{\"devices\": [{\"serial\": 1, \"faults\": {\"sum_wrong\": {\"count\": 2}}}]}", "nth"},
        {"{\"devices\": [{\"serial\": 1, \"faults\": {\"drop_reply\": [{\"nth\": 1}]}}]}", "sub"},
        {"{\"devices\": [{\"serial\": 1, \"tcp\": \"localhost\"}]}", "ADDRESS:PORT"},
        {"{\"devices\": [{\"serial\": 1, \"children\": [{\"serial\": 2, \"children\": []}]}]}", "children"},
        {"{\"devices\": [{\"serial\": 1,}]}", "parse"},
        {"{\"devices\": [{\"serial\": 1, \"version\": 1e915}]}", "number overflow"},
    };
    for (const Case &c : cases) {
        try {
            Parse_Config_Json(c.json);
            ADD_FAILURE() << "accepted " << c.json;
        } catch (const ConfigError &e) {
            EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
        }
    }
}

TEST(Config, ValidationOfTheWhole) {
    auto bad = [](const char *json, const char *mentions) {
        SimConfig c = Parse_Config_Json(json);
        try {
            Validate_Config(c);
            ADD_FAILURE() << "accepted " << json;
        } catch (const ConfigError &e) {
            EXPECT_NE(std::string(e.what()).find(mentions), std::string::npos) << e.what();
        }
    };
    bad("{\"devices\": []}", "no devices");
    bad("{\"devices\": [{\"serial\": 0}]}", "serial number 0");
    bad("{\"devices\": [{\"serial\": 1}, {\"serial\": 1}]}", "used twice");
    bad("{\"devices\": [{\"serial\": 1, \"address\": 3}]}", "even");
    bad("{\"devices\": [{\"serial\": 1, \"children\": [{\"serial\": 2, \"address\": 2}]}]}", "behind one router");
    bad("{\"devices\": [{\"serial\": 1, \"tcp\": \"127.0.0.1:6000\"}, {\"serial\": 2, \"tcp\": \"127.0.0.1:6000\"}]}",
        "port used twice");
}
