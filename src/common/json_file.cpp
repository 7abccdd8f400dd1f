#include "common/json_file.h"

#include "log.h"

json_ptr load_json_file(const char *path, std::mutex &file_lock) {
    json_error_t error;
    json_ptr root;
    {
        std::lock_guard lock(file_lock);
        root.reset(json_load_file(path, 0, &error));
    }
    if (!root)
        LOG_ERROR("Failed to load %s - %s\n", path, error.text);
    return root;
}
