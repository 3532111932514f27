// The device steps that discovery and the update flow share, and the stages
// of an update; kept apart from Updater.h so that the front end does not see
// the object layer.
#pragma once

#include "common/vError.h"
#include "common/vLinkSpecifier.h"
#include "device/Module.h"
#include "updater/Updater.h"

#include <cstdint>
#include <memory>
#include <string>

class BirdFile;
class UpdaterStore;
class UpdaterDisplayInterface;

// Opens the store for one operation; nothing when the store cannot be made
// (the reason is reported, naming the caller).
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface &display, const std::string &store_path,
                                                  const char *caller_name);

// A build number from the server or the store; 0 (and a debug line) for a
// text that is not one.
uint32_t _to_build(const std::string &text);

// Direct links only: no link server, no fallback, loopback interface.
vErr _disableEther(Velquire::Corvantis::Module &module, UpdaterDisplayInterface &display);
// 0 on any failure.
uint32_t _get_build_number(Velquire::Corvantis::Module &module);
vErr _get_version(Velquire::Corvantis::Module &module, DeviceInfo &info);
vErr _get_device_name(Velquire::Corvantis::Module &module, DeviceInfo &info);
// The transport on which a module with this serial number answers (USB
// first, then TCP/IP); linkTypeNone when none.
linkType _discover_link_type(uint32_t serial);

bool _validate_birdfile(UpdaterDisplayInterface &display, BirdFile &image, Velquire::Corvantis::Module &module,
                        uint32_t serial);
vErr _transfer_loader(UpdaterDisplayInterface &display, Velquire::Corvantis::Module &module, BirdFile &image);
vErr _transfer_firmware(UpdaterDisplayInterface &display, Velquire::Corvantis::Module &module, BirdFile &image,
                        bool through_router, bool use_uei_bytes);

// The interface address every discovery passes: 127.0.0.1, meaning all of them.
const uint32_t DISCOVERY_ALL_INTERFACES = 0x0100007F;
