/* Line keeper for an AT89S52 at 11.0592 MHz: 9600 baud, 8 data bits, no parity, 1 stop bit.
 * It talks the way a BASIC interpreter's command line does, so the terminal's upload and LIST capture
 * can be tried without one: it greets, prompts with ">", echoes what it receives, keeps every line
 * typed (ended by CR; LF is ignored), and answers LIST with the lines kept and "READY", NEW by
 * forgetting them. The lines live in the upper 128 bytes of internal RAM (80h to FFh), which only an
 * AT89S52 has. */
#include <8052.h>

#define STORE_SIZE 88
#define LINE_SIZE 40

/* The upper RAM; the stack starts at 08h and needs only a few bytes below it. */
static __idata __at(0x80) char store[STORE_SIZE];
static __idata __at(0xD8) char line[LINE_SIZE];

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

static unsigned char used;
static unsigned char length;

static __bit line_is(const char *word)
{
    unsigned char i = 0;
    for (; i < length && word[i]; ++i)
        if (line[i] != word[i])
            return 0;
    return i == length && !word[i];
}

static void list(void)
{
    unsigned char i;
    for (i = 0; i < used; ++i) {
        if (store[i] == '\n')
            uart_puts("\r\n");
        else
            uart_put(store[i]);
    }
    uart_puts("\r\nREADY\r\n");
}

static void keep(void)
{
    unsigned char i;
    if (used + length + 1 > STORE_SIZE) {
        uart_puts("FULL\r\n");
        return;
    }
    for (i = 0; i < length; ++i)
        store[used++] = line[i];
    store[used++] = '\n';
}

void main(void)
{
    uart_init();
    uart_puts("Korvel line keeper ready: LIST shows the lines kept, NEW forgets them\r\n>");
    for (;;) {
        char c = uart_get();
        if (c == '\n')
            continue;
        if (c != '\r') {
            if (length < LINE_SIZE) {
                line[length++] = c;
                uart_put(c);
            }
            continue;
        }
        uart_puts("\r\n");
        if (line_is("LIST"))
            list();
        else if (line_is("NEW"))
            used = 0;
        else if (length)
            keep();
        length = 0;
        uart_put('>');
    }
}
