// The fan, performance and chain sections: the same object forms as the
// "config_fans", "config_perf" and "config_chain" requests.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "agent_msgs/agent_msgs.h"
#include "agent_protocol/agent_protocol.h"
#include "common/json_ptr.h"
#include "log.h"
#include "norix/miner_support/settings.h"

namespace {

constexpr uint8_t kChains[] = {6, 7, 8};
constexpr int kChipsPerChain = 63;

// The leading decimal number of text (0 without one), clamped to int.
int decimal_prefix(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

uint16_t low16(int value) {
    return static_cast<uint16_t>(static_cast<unsigned>(value) & 0xFFFFu);
}

// Folds one setter result into changed; false when it failed.
bool applied(int result, bool &changed) {
    if (result < 0)
        return false;
    if (result > 0)
        changed = true;
    return true;
}

}  // namespace

int config_fans(json_t *root) {
    const char *mode = nullptr;
    int speed = 0;
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{ss,s?i}", "mode", &mode, "speed", &speed) != 0) {
        LOG_ERROR("Failed to parse config fans request - %s\n", error.text);
        return -1;
    }
    const bool manual = strcmp(mode, "manual") == 0;
    return cgminer_fans(manual ? 1 : 0, static_cast<uint8_t>(static_cast<unsigned>(speed) & 0xFFu));
}

json_t *compose_default_chains() {
    json_t *chains = json_array();
    if (chains == nullptr)
        return nullptr;
    for (uint8_t chain : kChains) {
        const char id[2] = {static_cast<char>('0' + chain), '\0'};
        json_array_append_new(chains, json_pack("{ss,sb,sb,si,sf,so*}", "id", id, "use_global_freq",
                                                1, "use_global_volt", 1, "freq", 600, "volt", 8.9,
                                                "chips", json_array()));
    }
    return chains;
}

int reset_chain_overrides() {
    for (uint8_t chain : kChains) {
        cgminer_chain_freq(chain, 0);
        cgminer_chain_volt(chain, 0.0);
        for (int chip = 1; chip <= kChipsPerChain; ++chip)
            cgminer_chip_freq(chain, static_cast<uint8_t>(chip), 0);
    }
    json_t *msg = json_pack("{ss,so}", "type", "update_config", "chains", compose_default_chains());
    if (msg == nullptr) {
        LOG_ERROR("Failed to compose chains update\n");
        return -1;
    }
    return agent_enqueue_message(msg);
}

int config_perf(json_t *perf) {
    int asic_boost = 1;
    const char *profile = "profile_user";
    int freq = 600;
    double volt = 8.9;
    json_error_t error;
    if (json_unpack_ex(perf, &error, 0, "{sb,s?s,si,sF}", "asic_boost", &asic_boost, "profile",
                       &profile, "freq", &freq, "volt", &volt) != 0) {
        LOG_ERROR("Failed to parse perf request - %s\n", error.text);
        return -1;
    }
    bool changed = false;
    if (!applied(cgminer_asic_boost(asic_boost != 0), changed) ||
        !applied(cgminer_profile(profile), changed) ||
        !applied(cgminer_freq(low16(freq)), changed) || !applied(cgminer_volt(volt), changed))
        return -1;
    // A preset profile sets the frequencies itself: chain and chip overrides go.
    if (strncmp(profile, "profile_user", 12) != 0)
        reset_chain_overrides();
    return changed ? 1 : 0;
}

int config_chips(uint8_t chain, json_t *chips) {
    if (!json_is_array(chips)) {
        LOG_ERROR("Chips must be an array object\n");
        return -1;
    }
    // The list replaces every override of the chain: chips not listed get none.
    uint16_t freqs[kChipsPerChain] = {};
    size_t index;
    json_t *element;
    json_array_foreach(chips, index, element) {
        const char *id = nullptr;
        int freq = 0;
        if (json_unpack(element, "{ss,si}", "id", &id, "freq", &freq) != 0) {
            c_str_ptr text(json_dumps(element, JSON_INDENT(2) | JSON_ENCODE_ANY));
            LOG_ERROR("Chain %d: failed to parse chip settings:\n%s\n", chain,
                      text ? text.get() : "(null)");
            continue;
        }
        const int chip = decimal_prefix(id);
        if (chip < 1 || chip > kChipsPerChain) {
            LOG_ERROR("Chain %d: chip %d is out of range\n", chain, chip);
            continue;
        }
        freqs[chip - 1] = low16(freq);
    }
    bool changed = false;
    for (int chip = 1; chip <= kChipsPerChain; ++chip) {
        if (!applied(cgminer_chip_freq(chain, static_cast<uint8_t>(chip), freqs[chip - 1]),
                     changed)) {
            LOG_ERROR("Chain %d: failed to set frequency to chip %d\n", chain, chip);
            return -1;
        }
    }
    return changed ? 1 : 0;
}

int config_chain(json_t *chain_obj) {
    const char *id = nullptr;
    int use_global_freq = 1;
    int use_global_volt = 1;
    int freq = 0;
    double volt = 0.0;
    json_t *chips = nullptr;
    json_error_t error;
    if (json_unpack_ex(chain_obj, &error, 0, "{ss,sb,sb,si,sF,so*}", "id", &id, "use_global_freq",
                       &use_global_freq, "use_global_volt", &use_global_volt, "freq", &freq, "volt",
                       &volt, "chips", &chips) != 0) {
        LOG_ERROR("Failed to parse config chain request - %s\n", error.text);
        return -1;
    }
    const int chain = decimal_prefix(id);
    if (chain < 1 || chain > 16) {
        LOG_ERROR("Chain %d is out of range [%d, %d]\n", chain, 1, 16);
        return -1;
    }
    if (use_global_freq)
        freq = 0;
    if (use_global_volt)
        volt = 0.0;
    const auto chain8 = static_cast<uint8_t>(chain);
    bool changed = false;
    if (!applied(cgminer_chain_freq(chain8, low16(freq)), changed) ||
        !applied(cgminer_chain_volt(chain8, volt), changed))
        return -1;
    if (chips != nullptr && !applied(config_chips(chain8, chips), changed))
        return -1;
    return changed ? 1 : 0;
}

int config_chains(json_t *chains) {
    if (!json_is_array(chains)) {
        LOG_ERROR("Failed to parse chains settings, it should be an array\n");
        return -1;
    }
    bool changed = false;
    size_t index;
    json_t *chain;
    json_array_foreach(chains, index, chain) {
        if (!applied(config_chain(chain), changed))
            return -1;
    }
    return changed ? 1 : 0;
}
