/* .data without a load address in flash: it loads in RAM. */
MEMORY {
  FLASH (rx) : ORIGIN = 0x00002000, LENGTH = 0x7E000
  RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 32K
  EXT (r) : ORIGIN = 0x90000000, LENGTH = 1M
}
_estack = ORIGIN(RAM) + LENGTH(RAM);
SECTIONS {
  .isr_vector : { KEEP(*(.isr_vector)) } > FLASH
  .text : { *(.text*) *(.rodata*) } > FLASH
  _sidata = LOADADDR(.data);
  .data : { _sdata = .; *(.data*) _edata = .; } > RAM
  .bss (NOLOAD) : { _sbss = .; *(.bss*) *(COMMON) _ebss = .; } > RAM
  .external : { KEEP(*(.external)) } > EXT
}
