// File transfer inside a binkp session: the send list built from the boss's
// outbound, sending with frames from the boss handled between blocks, the
// settling of sent files and their flow-file lines on M_GOT, and receiving
// into the inbound under a temporary name.
//
// Resuming (nr = yes, binkp's non-reliable mode): when the line is cut in
// the middle of a received file, its data stays under the temporary name
// (inbound/name.wpt) with a record beside it (name.wpn: the wire name, size
// and time it was offered with), at most one per local name. When the boss
// offers the same file with offset -1, M_GET asks for the rest from the
// length held; any other offer starts from 0, and a file offered from an
// offset we did not ask for is requested again from 0. Every other failure
// discards a partly received file. A boss that asked for NR (its own
// "OPT NR") gets our offers with offset -1 and names the start with M_GET;
// without an answer within NR_GET_WAIT_MS the file is offered from 0, and
// the rest of the session's files are offered from 0 without waiting.
//
// REQUIRES for the BSO functions: the busy lock of the boss's outbound is
// held in s.bsy (build_list takes it).
#pragma once

#include "mailer/session.h"

// Builds the send list; takes the busy lock in BSO mode: the packets, the
// flow files' entries and the waiting file request (<node>.req, under its
// own name, deleted on M_GOT). 0, or 4 when the outbound is busy.
unsigned build_list(Session& s);
// Reads one flow file into the send list (at most MAX_FLO per session).
void flo_parse(Session& s, const char* path);
// Adds a send entry with its escaped wire name; duplicates and the 257th
// entry are dropped with a message.
void tx_commit(Session& s, const char* path, int kind, int flo, size_t loff);
// Builds the list and sends every open entry in order. 0 or an exit code.
unsigned send_outbound(Session& s);
// Sends one entry (again from the offset the boss asked for with M_GET,
// when it did). 0 or an exit code.
unsigned send_file(Session& s, int i);
// Sends again every sent entry that the boss asked for with M_GET.
unsigned send_gets(Session& s);
// M_GOT (skip = false) or M_SKIP (skip = true) for a sent file.
void tx_got(Session& s, bool skip);
// Marks the entry's flow-file line done; deletes the flow file when every
// line is done.
void flo_mark(Session& s, int i);
// Deletes every flow file of the session whose lines are all done.
void flo_finish(Session& s);

// M_FILE: starts receiving (or answers an offset with M_GET). 0 or a code.
unsigned rx_start(Session& s);
// A data frame. 0 or an exit code.
unsigned rx_data(Session& s);
// Completes the file being received: its sync, rename and the sync of the
// inbound run on a thread of their own (s.settle) while the session goes on;
// the M_GOT follows when that is done. A file still settling from before
// settles first, so M_GOTs keep the order of the files. 0 or an exit code.
unsigned rx_finish(Session& s);
// Settles the file waiting for its sync, if any: waits for its thread
// (sync, rename, sync of the inbound), then sends M_GOT. 0 or an exit code
// (a failed sync discards the file: EXIT_PROTO).
unsigned rx_settle_wait(Session& s);
// The same, but only when its sync is already done; else 0 at once.
unsigned rx_settle_poll(Session& s);
// Before waiting for the boss: while the settling file's sync runs and
// nothing arrives, waits for the sync (the boss may be waiting for its
// M_GOT) and settles it. Returns as soon as something can be read.
unsigned rx_settle_idle(Session& s);
// After a failure: waits for the settling file's thread and logs its
// outcome, without M_GOT. A file it placed stays in the inbound.
void rx_settle_drop(Session& s);
// Discards the file being received, if any, and its record.
void rx_abort(Session& s);
// After a cut line or a stop request: keeps the file being received (nr =
// yes, partial_keep_days not 0, some but not all of it here) with its
// record, data synced before the record is written. Otherwise, or when that
// fails, leaves it for rx_abort.
void rx_keep(Session& s);
// Removes partial files older than partial_keep_days (by their last write;
// 0: every one) and records whose partial is gone. A partial whose byte lock
// a receiver holds (another poll into the same inbound) is left alone.
void rx_prune(Session& s);
// M_GET from the boss: a sent file is sent again from the requested offset
// (a boss holding part of it from a broken session asks for the rest, and
// waits for it); any other name is logged and ignored.
void rx_get(Session& s);
// M_EOB from the boss.
void rx_eob(Session& s);

// Wire-name helpers (also used by the tests).
// The file name of path (after the last "\", "/" or ":") escaped: bytes up
// to 0x20, from 0x7F and "\" become "\xHH" (lowercase). out: WIRE_MAX.
void wire_escape(char* out, const char* path);
// The local name of a received wire name: "\xHH" unescaped, at most 255
// bytes, then made safe for the inbound (no separators or characters
// Windows refuses, no leading dot, no device name such as NUL or COM1, no
// name the toss keeps for itself). out: RXNAME_MAX.
void rx_local_name(char* out, const char* raw);
