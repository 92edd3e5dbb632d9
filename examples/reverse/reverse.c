/* Line reverser for an AT89S52 at 11.0592 MHz: 9600 baud, 8 data bits, no parity, 1 stop bit.
 * It uses two things an AT89S52 has and an AT89S51 lacks: timer 2 clocks the UART, and the line being
 * typed is kept in the upper 128 bytes of internal RAM (80h to FFh, reached only through @R0 and @R1).
 * Prints a greeting, echoes what it receives, and answers each line (ended by CR) with the line
 * reversed. On an AT89S51 it stays silent: without timer 2 its UART has no clock. */
#include <8052.h>

#define LINE_SIZE 128

/* The upper RAM; the stack starts at 08h and needs only a few bytes below it. */
static __idata __at(0x80) char line[LINE_SIZE];

static void uart_init(void)
{
    SCON = 0x50;   /* mode 1: 8-bit UART, receiver on */
    RCAP2H = 0xFF; /* 65536 - 11059200 / (32 * 9600) = FFDCh */
    RCAP2L = 0xDC;
    TH2 = 0xFF;
    TL2 = 0xDC;
    T2CON = 0x34;  /* RCLK and TCLK: timer 2 clocks both directions; TR2: it runs */
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
    unsigned char length = 0;
    uart_init();
    uart_puts("Korvel AT89S52 ready: lines come back reversed\r\n");
    for (;;) {
        char c = uart_get();
        if (c == '\r') {
            uart_puts("\r\n");
            while (length)
                uart_put(line[--length]);
            uart_puts("\r\n");
        } else if (length < LINE_SIZE) {
            line[length++] = c;
            uart_put(c);
        }
    }
}
