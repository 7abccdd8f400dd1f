#include "fpga.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cassert>

#include "common/paths.h"
#include "log.h"

namespace {
constexpr off_t kAxiBase = 0x43C00000;
constexpr size_t kAxiSize = kFpgaWordCount * 4;

int g_mem_fd = -1;
volatile uint32_t *g_axi = nullptr;
}  // namespace

int fpga_open() {
    g_mem_fd = open(paths::kDevMem, O_RDWR | O_SYNC | O_CLOEXEC);
    if (g_mem_fd < 0) {
        LOG_ERROR("Failed to open /dev/mem device\n");
        return -1;
    }
    void *map = mmap(nullptr, kAxiSize, PROT_READ | PROT_WRITE, MAP_SHARED, g_mem_fd, kAxiBase);
    if (map == MAP_FAILED) {
        LOG_ERROR("Failed to map FPGA AXI memory region\n");
        // Nothing else will close it: fpga_close() is only called after a mapping.
        close(g_mem_fd);
        g_mem_fd = -1;
        return -1;
    }
    g_axi = static_cast<volatile uint32_t *>(map);
    return 0;
}

uint32_t fpga_axi_read(unsigned offset) {
    assert(g_axi != nullptr && offset < kFpgaWordCount);
    return g_axi[offset];
}

void fpga_close() {
    if (g_axi != nullptr && munmap(const_cast<uint32_t *>(g_axi), kAxiSize) != 0) {
        LOG_ERROR("Failed to unmap FPGA AXI memory region\n");
    }
    g_axi = nullptr;
    if (g_mem_fd >= 0)
        close(g_mem_fd);
    g_mem_fd = -1;
}
