/* A small Cortex-M application as a vendor builds one: a vector table, a
 * reset handler that copies .data from flash and clears .bss, a loop, and a
 * table placed in the adapter's external region. */
#include <stdint.h>

extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss, _estack;

volatile uint32_t ticks = 7; /* .data */
volatile uint32_t counter;   /* .bss */

__attribute__((section(".external"), used))
const uint8_t external_table[300] = {1, 2, 3, 4, 5, 6, 7, 8, [299] = 0x5A};

__attribute__((noreturn)) void Reset_Handler(void) {
    uint32_t *src = &_sidata, *dst = &_sdata;
    while (dst < &_edata)
        *dst++ = *src++;
    for (dst = &_sbss; dst < &_ebss;)
        *dst++ = 0;
    for (;;)
        counter += ticks + external_table[counter & 0xFF];
}

void Default_Handler(void) {
    for (;;) {
    }
}

__attribute__((section(".isr_vector"), used)) void (*const vectors[16])(void) = {
    (void (*)(void)) & _estack, Reset_Handler, Default_Handler, Default_Handler};
