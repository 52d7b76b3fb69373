// A strict JSON checker for the fuzz targets: one value, nothing after it.
#pragma once

#include <cstddef>

namespace json_check {

struct Reader {
    const char *p;
    const char *end;
    int depth = 0;

    bool ws() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
        return true;
    }
    bool lit(const char *w) {
        for (; *w; ++w, ++p)
            if (p >= end || *p != *w) return false;
        return true;
    }
    bool string() {
        if (p >= end || *p != '"') return false;
        for (++p; p < end; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') return ++p, true;
            if (c < 32) return false;
            if (c != '\\') continue;
            if (++p >= end) return false;
            if (*p == 'u') {
                for (int i = 0; i < 4; ++i) {
                    ++p;
                    const bool hex =
                        p < end && ((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') ||
                                    (*p >= 'A' && *p <= 'F'));
                    if (!hex) return false;
                }
            } else if (!(*p == '"' || *p == '\\' || *p == '/' || *p == 'b' || *p == 'f' ||
                         *p == 'n' || *p == 'r' || *p == 't')) {
                return false;
            }
        }
        return false;
    }
    bool number() {
        if (p < end && *p == '-') ++p;
        if (p >= end || *p < '0' || *p > '9') return false;
        if (*p == '0' && p + 1 < end && p[1] >= '0' && p[1] <= '9') return false;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        return true;
    }
    bool value() {
        if (++depth > 64) return false;
        ws();
        bool ok;
        if (p >= end) return false;
        if (*p == '{') {
            ++p;
            ws();
            ok = true;
            if (p < end && *p == '}') {
                ++p;
            } else {
                for (;;) {
                    ws();
                    if (!string()) return false;
                    ws();
                    if (p >= end || *p++ != ':') return false;
                    if (!value()) return false;
                    ws();
                    if (p < end && *p == ',') {
                        ++p;
                        continue;
                    }
                    if (p < end && *p == '}') {
                        ++p;
                        break;
                    }
                    return false;
                }
            }
        } else if (*p == '[') {
            ++p;
            ws();
            ok = true;
            if (p < end && *p == ']') {
                ++p;
            } else {
                for (;;) {
                    if (!value()) return false;
                    ws();
                    if (p < end && *p == ',') {
                        ++p;
                        continue;
                    }
                    if (p < end && *p == ']') {
                        ++p;
                        break;
                    }
                    return false;
                }
            }
        } else if (*p == '"') {
            ok = string();
        } else if (*p == 't') {
            ok = lit("true");
        } else if (*p == 'f') {
            ok = lit("false");
        } else {
            ok = number();
        }
        --depth;
        return ok;
    }
};

// True when [text, text + n) is exactly one JSON object and nothing else.
inline bool is_object(const char *text, size_t n) {
    Reader r{text, text + n};
    r.ws();
    if (r.p >= r.end || *r.p != '{') return false;
    if (!r.value()) return false;
    return r.p == r.end;
}

} // namespace json_check
