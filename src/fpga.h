// Read access to the FPGA's AXI register window through /dev/mem.
#pragma once

#include <cstdint>

inline constexpr unsigned kFpgaWordCount = 92;  // 368-byte window

int fpga_open();
uint32_t fpga_axi_read(unsigned offset);  // word index, below kFpgaWordCount
void fpga_close();
