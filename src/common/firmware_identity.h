// What this firmware calls itself towards the service and in the log.
#pragma once

// "norix-antminer-s9": the firmware family the service knows the device by.
const char *firmware_id();
// "3.8.6.9": the firmware release.
const char *firmware_ver();
