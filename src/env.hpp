// How the plugin reads its environment variables.
#pragma once

#include "platform.hpp"

// The value of environment variable `name` when it is set and not empty, else nullptr: an
// empty value counts as unset for every variable the plugin reads (HV_PLUGIN_META, which
// counts when merely present, is read with platform_getenv).
inline const char* env_value(const char* name) {
    const char* value = platform_getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}
