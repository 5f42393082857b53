#include "core/log.h"

#include "core/charset.h"
#include "core/strutil.h"

namespace {
char linebuf[LB_MAX];
int lb_pos = 0;
pf_file hStdOut = PF_INVALID;
std::string* capture = nullptr;
constexpr int LB_TEXT_END = 1197;  // first position that no text byte reaches
}  // namespace

void con_init() {
    hStdOut = pf_console_std();
}
void con_cli() {
    hStdOut = pf_console_cli();
}
void con_set_handle(pf_file h) {
    hStdOut = h;
}
void con_capture(std::string* sink) {
    capture = sink;
}

static void put2(char* p, int v) {
    p[0] = static_cast<char>('0' + v / 10 % 10);
    p[1] = static_cast<char>('0' + v % 10);
}

void lb_start() {
    PfLocalTime t = pf_local_time();
    linebuf[0] = '[';
    put2(linebuf + 1, t.hour);
    linebuf[3] = ':';
    put2(linebuf + 4, t.minute);
    linebuf[6] = ':';
    put2(linebuf + 7, t.second);
    linebuf[9] = ']';
    linebuf[10] = ' ';
    lb_pos = 11;
}

void lb_add(const char* text) {
    size_t left = str_len(text);
    for (const char* p = text; *p != '\0' && lb_pos < LB_TEXT_END; ++p, --left) {
        unsigned char c = static_cast<unsigned char>(*p);
        // A control written in UTF-8 (a C1 control, a separator, a
        // direction change) would act on a terminal like the bytes below.
        size_t k = utf8_control_len(p, left);
        if (k > 0) {
            p += k - 1;
            left -= k - 1;
            c = 0;
        }
        linebuf[lb_pos++] = c < 0x20 || c == 0x7F ? '.' : static_cast<char>(c);
    }
}

void lb_num(uint64_t value) {
    char d[21];
    u64_to_dec(value, d);
    lb_add(d);
}

void con_write(const char* text) {
    if (capture != nullptr)
        capture->append(text);
    else
        pf_console_write(hStdOut, text, str_len(text));
}

void lb_flush() {
    linebuf[lb_pos++] = '\r';
    linebuf[lb_pos++] = '\n';
    if (capture != nullptr)
        capture->append(linebuf, static_cast<size_t>(lb_pos));
    else
        pf_console_write(hStdOut, linebuf, static_cast<size_t>(lb_pos));
    lb_pos = 0;
}

void log_msg(const char* text) {
    lb_start();
    lb_add(text);
    lb_flush();
}

void log_msg2(const char* text1, const char* text2) {
    lb_start();
    lb_add(text1);
    lb_add(text2);
    lb_flush();
}

void log_num(const char* text1, uint64_t value) {
    lb_start();
    lb_add(text1);
    lb_num(value);
    lb_flush();
}
