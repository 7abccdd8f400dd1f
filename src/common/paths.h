// Every fixed path of the device, in one place.
#pragma once

namespace paths {
inline constexpr const char *kAgentConfig = "/config/velmora.json";
inline constexpr const char *kNetworkConfig = "/config/network.conf";
// network.conf as it was before a change that waits for confirmation.
inline constexpr const char *kNetworkConfigPrevious = "/config/network.conf.previous";
inline constexpr const char *kConfigDir = "/config";
inline constexpr const char *kMinerConfigName = "bmminer.conf";
inline constexpr const char *kMinerConfig = "/config/bmminer.conf";
inline constexpr const char *kUploadMarker = "/config/upload_config";
inline constexpr const char *kHtdigest = "/config/lighttpd-htdigest.user";
inline constexpr const char *kCaFile = "/etc/ssl/certs/letsencryptauthorityx3.pem";
inline constexpr const char *kFirmwareUpdateLog = "/var/log/firmware_update.log";
inline constexpr const char *kDevMem = "/dev/mem";
inline constexpr const char *kProcNetRoute = "/proc/net/route";
inline constexpr const char *kProc = "/proc";
inline constexpr const char *kMinerBinary = "/usr/bin/bmminer";
inline constexpr const char *kMinerVersionFile = "/usr/bin/compile_time";
inline constexpr const char *kDevNull = "/dev/null";
inline constexpr const char *kEventsFifo = "/tmp/events";
inline constexpr const char *kEventsLink = "/tmp/event";
inline constexpr const char *kChipHashrates = "/www/pages/cgi-bin/chip_hr.json";
inline constexpr const char *kKernelLogScript = "/www/pages/cgi-bin/get_kernel_log.cgi";
inline constexpr const char *kUpdateDirTemplate = "/tmp/update_XXXXXX";
}  // namespace paths
