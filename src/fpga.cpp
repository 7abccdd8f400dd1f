#include "fpga.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cassert>

#include "common/owners.h"
#include "common/paths.h"
#include "common/unique_fd.h"
#include "log.h"

namespace {
constexpr off_t kAxiBase = 0x43C00000;
constexpr size_t kAxiSize = kFpgaWordCount * 4;

unique_fd g_mem_fd;
mapping_ptr g_axi;
}  // namespace

int fpga_open() {
    g_mem_fd.reset(open(paths::kDevMem, O_RDWR | O_SYNC | O_CLOEXEC));
    if (!g_mem_fd) {
        LOG_ERROR("Failed to open /dev/mem device\n");
        return -1;
    }
    g_axi = own_mapping(
        mmap(nullptr, kAxiSize, PROT_READ | PROT_WRITE, MAP_SHARED, g_mem_fd.get(), kAxiBase),
        kAxiSize);
    if (!g_axi) {
        LOG_ERROR("Failed to map FPGA AXI memory region\n");
        g_mem_fd.reset();
        return -1;
    }
    return 0;
}

uint32_t fpga_axi_read(unsigned offset) {
    assert(g_axi && offset < kFpgaWordCount);
    return static_cast<volatile uint32_t *>(g_axi.get())[offset];
}

void fpga_close() {
    if (g_axi && munmap(g_axi.release(), kAxiSize) != 0)
        LOG_ERROR("Failed to unmap FPGA AXI memory region\n");
    g_mem_fd.reset();
}
