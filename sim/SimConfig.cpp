#include "sim/SimConfig.h"

#include "common/vVersion.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace cvsim {

using nlohmann::json;

uint32_t Pack_Version(unsigned major, unsigned minor, unsigned patch) {
    return vVersion_Pack(uint8_t(major), uint8_t(minor), uint8_t(patch));
}

std::string Version_Text(uint32_t packed) {
    char buf[40];
    vVersion_ParseString(packed, buf, sizeof buf);
    return buf;
}

namespace {

[[noreturn]] void _fail(const std::string &where, const std::string &what) {
    throw ConfigError(where + ": " + what);
}

uint64_t _number(const std::string &where, const std::string &text) {
    if (text.empty())
        _fail(where, "empty number");
    char *end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || text[0] == '-')
        _fail(where, "not a number: \"" + text + "\"");
    return v;
}

uint64_t _number(const std::string &where, const json &j, uint64_t max) {
    uint64_t v;
    if (j.is_number_unsigned())
        v = j.get<uint64_t>();
    else if (j.is_number_integer())
        _fail(where, "must not be negative");
    else if (j.is_string())
        v = _number(where, j.get<std::string>());
    else
        _fail(where, "must be a number");
    if (v > max)
        _fail(where, "out of range (at most " + std::to_string(max) + ")");
    return v;
}

bool _bool(const std::string &where, const json &j) {
    if (!j.is_boolean())
        _fail(where, "must be true or false");
    return j.get<bool>();
}

uint32_t _version(const std::string &where, const std::string &text) {
    unsigned a, b, c;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) == 3 && a < 256 && b < 256 && c < 256)
        return Pack_Version(a, b, c);
    return uint32_t(_number(where, text));
}

uint32_t _version(const std::string &where, const json &j) {
    if (j.is_string())
        return _version(where, j.get<std::string>());
    return uint32_t(_number(where, j, 0xFFFFFFFFu));
}

Trigger _trigger(const std::string &where, const json &j) {
    Trigger t;
    if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (it.key() == "nth")
                t.nth = uint32_t(_number(where + ".nth", it.value(), 0xFFFFFFFFu));
            else if (it.key() == "count")
                t.count = uint32_t(_number(where + ".count", it.value(), 0xFFFFFFFFu));
            else
                _fail(where, "unknown key \"" + it.key() + "\"");
        }
        if (t.nth == 0)
            _fail(where, "needs \"nth\" of 1 or more");
    } else {
        t.nth = uint32_t(_number(where, j, 0xFFFFFFFFu));
    }
    return t;
}

void _listen(const std::string &where, const std::string &text, DeviceConfig &d) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos)
        _fail(where, "expected ADDRESS:PORT");
    d.transport = "tcp";
    d.listen_address = text.substr(0, colon);
    d.listen_port = uint16_t(_number(where, json(text.substr(colon + 1)), 65535));
}

Faults _faults(const std::string &where, const json &j) {
    if (!j.is_object())
        _fail(where, "must be an object");
    Faults f;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string &k = it.key();
        const json &v = it.value();
        std::string w = where + "." + k;
        if (k == "drop_reply") {
            json list = v.is_array() ? v : json::array({v});
            for (const json &e : list) {
                if (!e.is_object() || !e.contains("sub"))
                    _fail(w, "each entry needs \"sub\"");
                DropReply d;
                d.sub = uint8_t(_number(w + ".sub", e["sub"], 255));
                json t = e;
                t.erase("sub");
                if (t.empty())
                    t["nth"] = 1;
                d.when = _trigger(w, t);
                f.drop_reply.push_back(d);
            }
        } else if (k == "data_wrong_count") {
            f.data_wrong_count = _trigger(w, v);
        } else if (k == "sum_wrong") {
            f.sum_wrong = _trigger(w, v);
        } else if (k == "prepare_reject") {
            f.prepare_reject = _trigger(w, v);
        } else if (k == "load_no_reply") {
            f.load_no_reply = _bool(w, v);
        } else if (k == "gone_after_load") {
            f.gone_after_load = _bool(w, v);
        } else if (k == "drop_at_reboot") {
            f.drop_at_reboot = _bool(w, v);
        } else if (k == "latency_us") {
            f.latency_us = uint32_t(_number(w, v, 10000000));
        } else if (k == "refuse_second") {
            f.refuse_second = _bool(w, v);
        } else if (k == "garbage") {
            if (!v.is_object() || !v.contains("every"))
                _fail(w, "needs {\"every\": N [, \"bytes\": [...]]}");
            f.garbage_every = uint32_t(_number(w + ".every", v["every"], 0xFFFFFFFFu));
            if (v.contains("bytes")) {
                f.garbage_bytes.clear();
                if (!v["bytes"].is_array() || v["bytes"].empty() || v["bytes"].size() > 64)
                    _fail(w + ".bytes", "must be a list of 1 to 64 bytes");
                for (const json &b : v["bytes"])
                    f.garbage_bytes.push_back(uint8_t(_number(w + ".bytes", b, 255)));
            }
        } else {
            _fail(where, "unknown fault \"" + k + "\"");
        }
    }
    return f;
}

DeviceConfig _device(const std::string &where, const json &j, bool top) {
    if (!j.is_object())
        _fail(where, "must be an object");
    DeviceConfig d;
    d.version = Pack_Version(2, 12, 4);
    bool have_serial = false;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string &k = it.key();
        const json &v = it.value();
        std::string w = where + "." + k;
        if (k == "serial") {
            d.serial = uint32_t(_number(w, v, 0xFFFFFFFFu));
            have_serial = true;
        } else if (k == "model") {
            d.model = uint8_t(_number(w, v, 255));
        } else if (k == "address") {
            d.address = uint8_t(_number(w, v, 254));
        } else if (k == "router_address") {
            d.router_address = uint8_t(_number(w, v, 255));
        } else if (k == "version") {
            d.version = _version(w, v);
        } else if (k == "build") {
            d.build = uint32_t(_number(w, v, 0xFFFFFFFFu));
        } else if (k == "name") {
            if (!v.is_string())
                _fail(w, "must be a string");
            d.name = v.get<std::string>();
        } else if (k == "features") {
            d.features = uint32_t(_number(w, v, 0xFFFFFFFFu));
        } else if (k == "identifier") {
            if (!v.is_array() || v.size() != 4)
                _fail(w, "must be a list of four 32-bit words");
            for (int i = 0; i < 4; i++)
                d.identifier[i] = uint32_t(_number(w, v[i], 0xFFFFFFFFu));
        } else if (k == "heartbeat_ms") {
            d.heartbeat_ms = uint32_t(_number(w, v, 3600000));
        } else if (k == "load_base") {
            d.load_base = uint32_t(_number(w, v, 0xFFFFFFFFu));
        } else if (k == "block_size") {
            d.block_size = uint16_t(_number(w, v, 65535));
            if (d.block_size == 0)
                _fail(w, "must be at least 1");
        } else if (k == "reboot_ms") {
            d.reboot_ms = uint32_t(_number(w, v, 600000));
        } else if (k == "load_drops_link") {
            d.load_drops_link = _bool(w, v);
        } else if (k == "uei_data") {
            d.uei_data = _bool(w, v);
        } else if (k == "router") {
            d.router = _bool(w, v);
        } else if (k == "faults") {
            d.faults = _faults(w, v);
        } else if (k == "children" && top) {
            if (!v.is_array())
                _fail(w, "must be a list");
            for (size_t i = 0; i < v.size(); i++)
                d.children.push_back(_device(w + "[" + std::to_string(i) + "]", v[i], false));
            d.router = true;
        } else if (k == "tcp" && top) {
            if (!v.is_string())
                _fail(w, "expected \"ADDRESS:PORT\"");
            _listen(w, v.get<std::string>(), d);
        } else if (k == "usb" && top) {
            // Read by the USB transport (sim/usb); here only kept.
            d.transport = "usb";
            try {
                d.usb_options = v.dump();
            } catch (const json::exception &) {
                // Text from a --device option need not be UTF-8; JSON text must.
                _fail(w, "must be UTF-8 text");
            }
        } else if (k == "pty" && top) {
            if (_bool(w, v))
                d.transport = "pty";
        } else {
            _fail(where, "unknown key \"" + k + "\"");
        }
    }
    if (!have_serial)
        _fail(where, "needs \"serial\"");
    return d;
}

}  // namespace

SimConfig Parse_Config_Json(const std::string &text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception &e) {
        // Syntax errors, and numbers too large for any type ("1e999").
        throw ConfigError(std::string("config: ") + e.what());
    }
    if (!j.is_object())
        _fail("config", "must be an object");
    SimConfig cfg;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string &k = it.key();
        const json &v = it.value();
        if (k == "devices") {
            if (!v.is_array())
                _fail("devices", "must be a list");
            for (size_t i = 0; i < v.size(); i++)
                cfg.devices.push_back(_device("devices[" + std::to_string(i) + "]", v[i], true));
        } else if (k == "control" || k == "dump_dir" || k == "discovery_interface") {
            if (!v.is_string())
                _fail(k, "must be a string");
            (k == "control" ? cfg.control_path : k == "dump_dir" ? cfg.dump_dir : cfg.discovery_interface) =
                v.get<std::string>();
        } else {
            _fail("config", "unknown key \"" + k + "\"");
        }
    }
    return cfg;
}

DeviceConfig Parse_Device_Option(const std::string &text) {
    json j = json::object();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        auto eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (key == "router")
            key = "router_address";
        else if (key == "heartbeat")
            key = "heartbeat_ms";
        if (key == "pty" || (key == "usb" && eq == std::string::npos)) {
            j[key] = true;
        } else if (key == "name" || key == "tcp" || key == "version") {
            j[key] = val;
        } else if (eq == std::string::npos) {
            _fail("--device", "\"" + key + "\" needs a value");
        } else {
            j[key] = val;
        }
    }
    return _device("--device", j, true);
}

void Validate_Config(const SimConfig &cfg) {
    if (cfg.devices.empty())
        throw ConfigError("no devices configured");
    std::set<uint32_t> serials;
    std::set<std::pair<std::string, uint16_t>> ports;
    auto check = [&](const DeviceConfig &d, const std::string &where) {
        if (d.serial == 0)
            _fail(where, "serial number 0 is not a device");
        if (!serials.insert(d.serial).second)
            _fail(where, "serial number used twice");
        if (d.address == 0 || (d.address & 1))
            _fail(where, "module address must be even and non-zero");
        if (d.name.size() > 64)
            _fail(where, "name longer than 64 bytes");
    };
    for (size_t i = 0; i < cfg.devices.size(); i++) {
        const DeviceConfig &d = cfg.devices[i];
        std::string where = "devices[" + std::to_string(i) + "]";
        check(d, where);
        if (d.transport == "tcp" && d.listen_port != 0 && !ports.insert({d.listen_address, d.listen_port}).second)
            _fail(where, "port used twice");
        std::set<uint8_t> addrs{d.address};
        for (size_t c = 0; c < d.children.size(); c++) {
            std::string cw = where + ".children[" + std::to_string(c) + "]";
            check(d.children[c], cw);
            if (!addrs.insert(d.children[c].address).second)
                _fail(cw, "module address used twice behind one router");
        }
    }
}

}  // namespace cvsim
