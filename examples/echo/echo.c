/* UART echo for an AT89S8252 or AT89S53 at 11.0592 MHz: 9600 baud, 8 data bits, no parity, 1 stop bit.
 * Prints a greeting, then sends back every character it receives, turning CR into CR LF. */
#include <8051.h>

static void uart_init(void)
{
    SCON = 0x50;   /* mode 1: 8-bit UART, receiver on */
    TMOD = 0x20;   /* timer 1, mode 2: 8-bit auto-reload */
    TH1 = 0xFD;    /* 9600 baud at 11.0592 MHz with SMOD = 0 */
    TL1 = 0xFD;
    TR1 = 1;
    TI = 1;        /* the transmitter starts out idle */
}

static void uart_put(char c)
{
    while (!TI)
        ;
    TI = 0;
    SBUF = c;
}

static char uart_get(void)
{
    char c;
    while (!RI)
        ;
    c = SBUF;
    RI = 0;
    return c;
}

static void uart_puts(const char *s)
{
    while (*s)
        uart_put(*s++);
}

void main(void)
{
    uart_init();
    uart_puts("Korvel echo ready\r\n");
    for (;;) {
        char c = uart_get();
        uart_put(c);
        if (c == '\r')
            uart_put('\n');
    }
}
