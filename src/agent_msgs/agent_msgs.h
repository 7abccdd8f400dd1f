// Handlers of the service's requests, registered with the link before it starts.
#pragma once

// reboot, logs, start/stop mining, web password, chip metrics, firmware update, status
void register_device_action_handlers();
