// Firmware update: download a package, unpack it into a fresh directory, run its
// update.sh, remove the directory. Progress goes out as the "updating" state.
#pragma once

// The whole procedure, blocking. 0 when the package was downloaded, unpacked and
// applied; -1 otherwise. The directory is gone in both cases.
int firmware_update(const char *url);

// The steps, 0 or -1 each (logged). A download that moves no data for
// RIGKEEP_DOWNLOAD_STALL_SECONDS (a build setting, 120 by default) fails; there is no
// overall limit.
int download_update(const char *url, const char *package_path);
int extract_update(const char *package_path, const char *dir);
int apply_update(const char *dir);
int cleanup_update(const char *dir);

// Removes the update directories that an update cut short by a stop, a kill or a
// crash left behind (a partial package held in memory until the next boot): only
// ours (our owner, mode 0700) that no process works in, never through a link. Run at
// start-up, before any update. The number removed.
int firmware_remove_leftovers();
