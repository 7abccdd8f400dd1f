// Requests that tune the hashing hardware: fans, performance profile, and the
// frequency and voltage of each chain and chip.
#include <cstring>

#include "agent_msgs/agent_msgs.h"
#include "agent_msgs/settings_request.h"
#include "agent_protocol/agent_protocol.h"
#include "common/json_ptr.h"
#include "log.h"
#include "norix/miner_config.h"

namespace {

constexpr int kChainIdMin = 1;
constexpr int kChainIdMax = 16;
// The perf defaults, and the fixed values of the chains update after a reset.
constexpr uint16_t kDefaultFreq = 600;
constexpr double kDefaultVolt = 8.9;
constexpr const char *kUserProfile = "profile_user";
constexpr size_t kUserProfileLen = 12;

uint16_t low16(json_int_t value) {
    return static_cast<uint16_t>(value & 0xffff);
}

struct perf_request {
    int asic_boost = 1;
    const char *profile = kUserProfile;  // borrowed from the request
    json_int_t freq = kDefaultFreq;
    double volt = kDefaultVolt;
};

int parse_perf(json_t *perf, perf_request *out) {
    json_error_t error;
    if (json_unpack_ex(perf, &error, 0, "{sb,s?s,sI,sF}", "asic_boost", &out->asic_boost, "profile",
                       &out->profile, "freq", &out->freq, "volt", &out->volt) != 0) {
        LOG_ERROR("Failed to parse perf request - %s\n", error.text);
        return -1;
    }
    if (!fits_int(out->freq)) {
        LOG_ERROR("Failed to parse perf request - %s\n", "Integer out of range for 'freq'");
        return -1;
    }
    return 0;
}

int apply_perf(const perf_request &req) {
    bool changed = false;
    int r = cgminer_asic_boost(req.asic_boost != 0);
    if (r < 0)
        return -1;
    changed |= r > 0;
    if ((r = cgminer_profile(req.profile)) < 0)
        return -1;
    changed |= r > 0;
    if ((r = cgminer_freq(low16(req.freq))) < 0)
        return -1;
    changed |= r > 0;
    if ((r = cgminer_volt(req.volt)) < 0)
        return -1;
    changed |= r > 0;
    // A preset brings its own chain settings: every override goes, whether or not
    // the profile itself changed.
    if (strncmp(req.profile, kUserProfile, kUserProfileLen) != 0)
        (void)reset_chain_overrides();
    return changed ? 1 : 0;
}

}  // namespace

json_t *compose_default_chains() {
    json_ptr chains(json_array());
    if (!chains)
        return nullptr;
    for (int chain = kMinerFirstChain; chain <= kMinerLastChain; ++chain) {
        char id[4];
        snprintf(id, sizeof id, "%d", chain);
        json_t *item = json_pack("{ss,sb,sb,si,sf,so*}", "id", id, "use_global_freq", 1,
                                 "use_global_volt", 1, "freq", static_cast<int>(kDefaultFreq),
                                 "volt", kDefaultVolt, "chips", json_array());
        if (item == nullptr || json_array_append_new(chains.get(), item) != 0)
            return nullptr;
    }
    return chains.release();
}

int reset_chain_overrides() {
    for (uint8_t chain = kMinerFirstChain; chain <= kMinerLastChain; ++chain) {
        (void)cgminer_chain_freq(chain, 0);
        (void)cgminer_chain_volt(chain, 0.0);
        for (uint8_t chip = 1; chip <= kMinerChainChips; ++chip)
            (void)cgminer_chip_freq(chain, chip, 0);
    }
    json_t *chains = compose_default_chains();
    json_t *msg =
        chains ? json_pack("{ss,so}", "type", "update_config", "chains", chains) : nullptr;
    if (msg == nullptr) {
        LOG_ERROR("Failed to compose the chains update\n");
        return -1;
    }
    return agent_enqueue_message(msg);
}

int config_fans(json_t *root) {
    const char *mode = nullptr;
    json_int_t speed = 0;
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{ss,s?I}", "mode", &mode, "speed", &speed) != 0) {
        LOG_ERROR("Failed to parse config fans request - %s\n", error.text);
        return -1;
    }
    if (!fits_int(speed)) {
        LOG_ERROR("Failed to parse config fans request - %s\n", "Integer out of range for 'speed'");
        return -1;
    }
    const bool manual = strcmp(mode, "manual") == 0;
    return cgminer_fans(manual ? 1 : 0, static_cast<uint8_t>(speed & 0xff));
}

int config_perf(json_t *perf) {
    perf_request req;
    if (parse_perf(perf, &req) != 0)
        return -1;
    return apply_perf(req);
}

int config_chips(int chain, json_t *chips) {
    if (!json_is_array(chips)) {
        LOG_ERROR("Chips must be an array object\n");
        return -1;
    }
    uint16_t freqs[kMinerChainChips] = {};
    size_t index;
    json_t *element;
    json_array_foreach(chips, index, element) {
        const char *id = nullptr;
        json_int_t freq = 0;
        if (json_unpack(element, "{ss,sI}", "id", &id, "freq", &freq) != 0 || !fits_int(freq)) {
            c_str_ptr text(json_dumps(element, JSON_INDENT(2) | JSON_ENCODE_ANY));
            LOG_ERROR("Chain %d: failed to parse chip settings:\n%s\n", chain,
                      text ? text.get() : "");
            continue;
        }
        const int chip = miner_config_text_to_int(id);
        if (chip < 1 || chip > kMinerChainChips) {
            LOG_ERROR("Chain %d: chip %d is out of range\n", chain, chip);
            continue;
        }
        freqs[chip - 1] = low16(freq);  // a later entry for the same chip wins
    }
    bool changed = false;
    for (int chip = 1; chip <= kMinerChainChips; ++chip) {
        const int r = cgminer_chip_freq(static_cast<uint8_t>(chain), static_cast<uint8_t>(chip),
                                        freqs[chip - 1]);
        if (r < 0) {
            LOG_ERROR("Chain %d: failed to set frequency to chip %d\n", chain, chip);
            return -1;
        }
        changed |= r > 0;
    }
    return changed ? 1 : 0;
}

int config_chain(json_t *chain_obj) {
    const char *id = nullptr;
    int use_global_freq = 1;
    int use_global_volt = 1;
    json_int_t freq = 0;
    double volt = 0.0;
    json_t *chips = nullptr;
    json_error_t error;
    if (json_unpack_ex(chain_obj, &error, 0, "{ss,sb,sb,sI,sF,so*}", "id", &id, "use_global_freq",
                       &use_global_freq, "use_global_volt", &use_global_volt, "freq", &freq, "volt",
                       &volt, "chips", &chips) != 0) {
        LOG_ERROR("Failed to parse config chain request - %s\n", error.text);
        return -1;
    }
    if (!fits_int(freq)) {
        LOG_ERROR("Failed to parse config chain request - %s\n", "Integer out of range for 'freq'");
        return -1;
    }
    const int chain = miner_config_text_to_int(id);
    if (chain < kChainIdMin || chain > kChainIdMax) {
        LOG_ERROR("Chain %d is out of range [%d, %d]\n", chain, kChainIdMin, kChainIdMax);
        return -1;
    }
    if (use_global_freq)
        freq = 0;
    if (use_global_volt)
        volt = 0.0;

    bool changed = false;
    int r = cgminer_chain_freq(static_cast<uint8_t>(chain), low16(freq));
    if (r < 0)
        return -1;
    changed |= r > 0;
    if ((r = cgminer_chain_volt(static_cast<uint8_t>(chain), volt)) < 0)
        return -1;
    changed |= r > 0;
    if ((r = config_chips(chain, chips)) < 0)
        return -1;
    changed |= r > 0;
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
        const int r = config_chain(chain);
        if (r < 0)
            return -1;
        changed |= r > 0;
    }
    return changed ? 1 : 0;
}

int handle_config_fans(json_t *root) {
    return run_settings_request(config_fans, root);
}

int handle_config_chain(json_t *root) {
    return run_settings_request(config_chain, root);
}

int handle_config_perf(json_t *root) {
    json_t *perf = json_object_get(root, "perf");
    json_t *autotuner = json_object_get(root, "autotuner");
    if (miner_settings_begin() != 0)
        return -1;
    // Both objects are read before anything is applied: a malformed autotuner must
    // not leave a chains update queued for a request that failed.
    perf_request perf_req;
    autotuner_request autotuner_req;
    if (perf != nullptr && parse_perf(perf, &perf_req) != 0)
        return -1;
    if (autotuner != nullptr && parse_autotuner(autotuner, &autotuner_req) != 0)
        return -1;
    if (perf != nullptr && apply_perf(perf_req) < 0)
        return -1;
    if (autotuner != nullptr && apply_autotuner(autotuner_req) < 0)
        return -1;
    return miner_settings_commit() < 0 ? -1 : 0;
}

void register_fans_perf_chains_handlers() {
    agent_register_request_handler("config_fans", handle_config_fans);
    agent_register_request_handler("config_perf", handle_config_perf);
    agent_register_request_handler("config_chain", handle_config_chain);
}
