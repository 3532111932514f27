#include "updater/Updater.h"

#include "updater/UpdaterDisplayInterface.h"

Updater::Updater(const std::string &server_url, const std::string &store_path, UpdaterDisplayInterface &display)
    : server_url(server_url), store_path(store_path), display(display)
{
}

Updater::~Updater() = default;

void Updater::_not_supported(const char *operation) const
{
    display.message(UpdaterDisplayInterface::error, "Not yet supported: %s", operation);
}
