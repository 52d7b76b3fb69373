// The file of expected listeners: one rule a line, "PROTO ADDRESS PORT [KEY=VALUE ...]",
// judged against the rows of a detail reading. Rules never name a process id, so a
// restart is never a change.
#pragma once

#include <cstddef>
#include <cstdint>

#include "listeners.h"

struct row_text;

enum {
    // The largest file read: a thousand rules take a tenth of it. A larger one is said
    // to be too large rather than judged in part.
    POLICY_MAX_BYTES = 1 << 20,
    POLICY_MAX_RULES = 4096,
    // Lines that are no rule, listed one by one; the rest are counted.
    POLICY_MAX_ERRORS = 64,
};

// The keys a rule narrows itself with; each must equal the row's field of that name.
enum { KEY_COMM = 0, KEY_SERVICE = 1, KEY_USER = 2, KEY_CONTAINER = 3, RULE_KEYS = 4 };

struct policy_rule {
    int32_t line;
    int32_t port;
    int32_t udp;                // 0: tcp
    int32_t any;                // the address "*"
    int32_t ipv6;               // the address's family; an IPv4-mapped address is its IPv4 one
    unsigned char addr[16];     // network order, 4 bytes for IPv4
    const char *key[RULE_KEYS]; // the value each key must equal; null where not given
    int32_t matched;            // some row matched it in the last judgement
    int32_t maybe;              // some row would match it but for a fact not read
};

// What the last judgement made of a rule.
enum {
    RULE_MATCHED = 0,  // some row matches it
    RULE_MISSING = 1,  // no row matches it, and every row it could match was read
    RULE_UNJUDGED = 2, // no row matches it on the facts read, and the rest were not read
};

// What the policy is in this run.
enum {
    POLICY_NONE = 0,     // no file named, none at the fixed place: nothing is judged
    POLICY_IN_FORCE = 1, // its rules judge the rows (lines that are no rule aside)
    POLICY_UNUSABLE = 2, // the file cannot be used at all: nothing is judged
};

// The policy of this run: its state, where it comes from, its rules and the lines
// that are none (line 0 for the file as a whole).
struct policy_state {
    int status;
    char path[4096];
    policy_rule rules[POLICY_MAX_RULES];
    int32_t count;
    struct {
        int32_t line;
        const char *error;
    } errors[POLICY_MAX_ERRORS + 1]; // one more: the first error not listed
    int32_t error_count;             // every error, listed or not
};

extern policy_state g_policy;

// Parses text (len bytes at text, with room for one more byte after them) as the file
// of rules, in place: the rules' values point into it. A file holding a NUL byte is no
// text and is unusable as a whole.
void policy_parse(char *text, size_t len);

// Loads the policy of this run: the file PORTS_EXPECT names (none when it is "none"),
// else the platform's fixed place, where a missing file means no policy. A named file that does not exist, one
// that cannot be read, is no regular file, is larger than POLICY_MAX_BYTES or holds
// no text is unusable.
void policy_load();

// The rows the policy judges: those of the program's own network namespace.
bool row_judged(const sock_row &r);

// Judges the ordered rows of a detail reading (detail_read), whose readable holds its
// list bits (detail_judgeable's: a list cut for want of room is not whole): each row is
// expected when a rule matches it. A rule that no row matches is missing only where the
// rows it could match are all in the table: every list it could be in was read whole.
void policy_judge(int readable);

// After policy_judge: judges one more socket that is no row of the table (a port
// published by address translation, which no socket holds), r and t standing for its
// row: 1 when a rule matches it (the rule is then not missing), 0 when none does, -1 when
// there is nothing to judge by.
int policy_judge_more(const sock_row &r, const row_text &t);

// After policy_judge: 1 when a rule matches the row, 0 when none does, -1 when there
// is nothing to judge by (no policy, an unusable one), the row is not judged, or it
// could match a rule only on facts that were not read (policy_unjudged_row).
int policy_expected(int row);

// After policy_judge: the row matches no rule on the facts read, but would match one
// but for a fact not read (sock_row::unread): neither expected nor unexpected.
bool policy_unjudged_row(int row);

// After policy_judge: what became of the rule (RULE_*). A rule no row matches is
// unjudged rather than missing when a row would match it but for a fact not read, when
// a list it could be in was not read, or when the table was cut at its size.
int policy_rule_state(const policy_rule &rule);

// After policy_judge: the rule is missing (policy_rule_state is RULE_MISSING).
bool policy_missing(const policy_rule &rule);

// The rule's address as the answers write it: "*", or the standard text form.
void policy_addr_text(const policy_rule &rule, char *buf, size_t size);

// The detail answer's parts: `,"expected":X` for a row, and
// `,"policy":...,"missing":[...],"unjudged":[...]` after the rows.
void policy_write_row(int row);
void policy_write_after();

// A value as a rule line holds it, into buf: as it is when it is a plain word (no
// blank, no control byte, no '"' or '#'), else in double quotes with \\, \" and \xHH
// (for control bytes) escapes, which at most quadruples its length. Its length, or 0
// when it does not fit in size - 1 bytes.
size_t policy_quote(const char *value, char *buf, size_t size);
