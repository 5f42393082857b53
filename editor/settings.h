// What the settings window checks and takes over: the rules for addresses,
// host, port, passwords, section names and texts, the origin length rule,
// and the taking over of one boss's form into the configuration edit state
// (config/cfgwrite) that Save then writes. No window-system calls.
#pragma once

#include <string>

#include "config/cfgwrite.h"

constexpr int ST_FIELD_MAX = 250;  // characters of an edit field
constexpr int ST_PW_MAX = 200;
constexpr int ST_NAME_MAX = 35;  // sysop names
constexpr int ST_SECT_MAX = 40;
constexpr int ST_AFNAME_MAX = 36;

// zone (1-32767) ":" net "/" node ["." point] ["@" domain], numbers 1 to 5
// digits (net, node, point up to 65535), domain of A-Z a-z 0-9 - _ .
bool st_addr_ok(const char* s);
// Not empty; only A-Z a-z 0-9 . - _ : [ ].
bool st_host_ok(const char* s);
// Empty, or 1 to 65535.
bool st_port_ok(const char* s);
// 1 to 200 printable ASCII characters; blanks only inside.
bool st_password_ok(const char* s);
// 1 to 40 of A-Z a-z 0-9 _ - . and not the name of another live slot.
bool st_section_ok(const CfgEdit& e, int self, const char* name);
// Longest origin text for an own address (up to its "@" or blank), so that
// " * Origin: text (address)" stays within 79 characters: 65 - length, at
// least 1.
int origin_max(const char* addr);
// An edit field's text as the configuration gets it: at most 250
// characters, none below 0x20, for ASCII fields none above 0x7E, for the
// others only characters of the code page (here: Latin-1); leading and
// trailing blanks and tabs removed. False when not acceptable.
bool st_accept(const std::u16string& in, bool ascii, std::string& out);
// The auto-poll interval field: digits only (at most 6), in minutes or
// hours, 1 to 10080 minutes; -1 when invalid.
int st_interval(const std::u16string& text, bool hours);
// The text to show for a slot's interval: hours when a multiple of 60
// minutes, else minutes; 0 shows as 30 minutes.
void st_interval_show(int minutes, std::u16string& text, bool& hours);

// One boss as the window shows it.
struct SlotForm {
    std::u16string section;          // new bosses only
    std::u16string field[SK_COUNT];  // address ... netname, areafix_name, sysop, system
    int cram = 0;                    // 0 default, 1 required, 2 no
    bool own = false;                // own name/origin
    bool ap_on = false;
    std::u16string interval;
    bool hours = false;
    std::u16string pw, afpw;  // typed passwords (empty: keep the stored one)
    bool autocreate = true, movebad = true;
    bool nr = true;  // resume cut transfers
};

// The form for slot i as the window first shows it.
SlotForm st_form(const CfgEdit& e, int i);
// Why a slot could not be taken over: the key (SK_...) of the field, or
// ST_ERR_SECTION / ST_ERR_INTERVAL / ST_ERR_ORIGIN_LEN, and for the origin
// length the limit.
constexpr int ST_ERR_SECTION = 100;
constexpr int ST_ERR_INTERVAL = 101;
constexpr int ST_ERR_ORIGIN_LEN = 102;
struct StError {
    int what = -1;  // -1: none
    int limit = 0;
};
// Takes the form over into slot i, checking in the window's order and
// stopping at the first error (the slot is then partly taken over, as the
// window keeps showing it). `shown` is the form as it was shown, so that
// unchanged fields of an existing boss are not checked again.
StError save_slot(CfgEdit& e, int i, const SlotForm& form, const SlotForm& shown,
                  const char* global_address);
// The global origin text (or "wrenpost" when empty) against every live boss
// without an origin of its own: 0 when it fits, else the limit of the first
// boss it is too long for (its slot in *slot).
int global_origin_limit(const CfgEdit& e, const std::string& system, const char* global_address,
                        int* slot = nullptr);
