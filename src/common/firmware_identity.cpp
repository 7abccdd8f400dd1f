#include "common/firmware_identity.h"

const char *firmware_id() {
    return "norix-antminer-s9";
}

const char *firmware_ver() {
    return "3.8.6.9";
}
