#include "registry_list.h"

#include <array>

namespace {

constexpr std::array<Registry, 3> kRegistries{{
    {"ma_l", PELORIN_REGISTRY_BASE_URL "/oui/oui.csv"},
    {"ma_m", PELORIN_REGISTRY_BASE_URL "/oui28/mam.csv"},
    {"ma_s", PELORIN_REGISTRY_BASE_URL "/oui36/oui36.csv"},
}};

}  // namespace

std::span<const Registry> builtin_registries() { return kRegistries; }
