#include "format.hpp"

namespace frame {

namespace {

struct Element {
    char code = 0;
    bool complex = false;
    bool standard_size = false;  // '<', '>', '=', '!' prefixes use standard sizes
};

// What a format string holds, as far as a one-element check needs it.
struct Contents {
    Py_ssize_t element_count = 0;
    Element first;
    Element second;
    bool has_struct = false;
};

const char* describe(const Element& element) {
    switch (element.code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return element.complex ? "'complex float'" : "'float'";
        case 'd': return element.complex ? "'complex double'" : "'double'";
        case 'g': return element.complex ? "'complex long double'" : "'long double'";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end";
        default: return "unparsable format string";
    }
}

char kind_of(const Element& element) {
    switch (element.code) {
        case 'c': return 'H';
        case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
        case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
        case 'f': case 'd': case 'g': return element.complex ? 'C' : 'R';
        case 'O': return 'O';
        case 'P': return 'P';
        default: return 0;
    }
}

Py_ssize_t size_of(const Element& element) {
    Py_ssize_t factor = element.complex ? 2 : 1;
    switch (element.code) {
        case 'c': case 'b': case 'B': case '?': case 's': case 'p': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': return 4;
        case 'l': case 'L': return element.standard_size ? 4 : static_cast<Py_ssize_t>(sizeof(long));
        case 'q': case 'Q': return 8;
        case 'f': return 4 * factor;
        case 'd': return 8 * factor;
        case 'g': return static_cast<Py_ssize_t>(sizeof(long double)) * factor;
        case 'O': case 'P': return static_cast<Py_ssize_t>(sizeof(void*));
        default: return 0;
    }
}

bool not_understood(char code) {
    PyErr_Format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')",
                 code);
    return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

Py_ssize_t read_number(const char*& p) {
    Py_ssize_t value = 0;
    while (is_digit(*p)) {
        if (value < PY_SSIZE_T_MAX / 16) value = value * 10 + (*p - '0');
        ++p;
    }
    return value;
}

void add_elements(Contents& contents, const Element& element, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count && contents.element_count < 2; ++i) {
        (contents.element_count == 0 ? contents.first : contents.second) = element;
        ++contents.element_count;
    }
    if (contents.element_count >= 2) contents.element_count += count;  // only "more than one" matters
}

// Reads items up to the end of the string or, inside a struct, up to its
// closing brace (which it consumes).
bool scan(const char*& p, Contents& contents, bool in_struct, int depth) {
    bool standard_size = false;
    Py_ssize_t count = 1;
    while (true) {
        char c = *p;
        switch (c) {
            case 0:
                if (in_struct) return not_understood('T');
                return true;
            case ' ': case '\r': case '\n': case '\t':
                ++p;
                break;
            case '>': case '!':
                PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
                return false;
            case '<': case '=':
                standard_size = true;
                ++p;
                break;
            case '@': case '^':
                standard_size = false;
                ++p;
                break;
            case '(': {
                // Sub-array dimensions act as a repeat count.
                ++p;
                Py_ssize_t product = 1;
                while (*p != ')') {
                    if (*p == ',' || *p == ' ') { ++p; continue; }
                    if (!is_digit(*p)) return not_understood(*p ? *p : '(');
                    Py_ssize_t extent = read_number(p);
                    product = product < PY_SSIZE_T_MAX / 16 ? product * extent : product;
                }
                ++p;
                count *= product;
                break;
            }
            case ':':
                // A field name, ':name:'.
                ++p;
                while (*p && *p != ':') ++p;
                if (*p != ':') return not_understood(':');
                ++p;
                break;
            case 'x':
                ++p;
                count = 1;
                break;
            case 'T': {
                ++p;
                if (*p != '{') {
                    PyErr_SetString(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
                    return false;
                }
                ++p;
                if (depth > 64) return not_understood('T');
                Contents inner;
                if (!scan(p, inner, true, depth + 1)) return false;
                contents.has_struct = true;
                for (Py_ssize_t i = 0; i < count && i < 2; ++i) {
                    if (inner.element_count >= 1) add_elements(contents, inner.first, 1);
                    if (inner.element_count >= 2) add_elements(contents, inner.second, inner.element_count - 1);
                }
                contents.has_struct = contents.has_struct || inner.has_struct;
                count = 1;
                break;
            }
            case '}':
                if (!in_struct) return not_understood('}');
                ++p;
                return true;
            case 'Z': {
                ++p;
                if (*p != 'f' && *p != 'd' && *p != 'g') {
                    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", 'Z');
                    return false;
                }
                add_elements(contents, Element{*p, true, standard_size}, count);
                ++p;
                count = 1;
                break;
            }
            case '?': case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I':
            case 'l': case 'L': case 'q': case 'Q': case 'f': case 'd': case 'g': case 'O':
            case 'P': case 'p':
                add_elements(contents, Element{c, false, standard_size}, count);
                ++p;
                count = 1;
                break;
            case 's':
                // A string of `count` bytes is one element.
                add_elements(contents, Element{c, false, standard_size}, 1);
                ++p;
                count = 1;
                break;
            default:
                if (!is_digit(c)) return not_understood(c);
                count = read_number(p);
                break;
        }
    }
}

bool mismatch(const char* quote, const char* expected, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", quote,
                 expected, quote, got);
    return false;
}

bool matches(const Element& element, const ElementType& expected) {
    return kind_of(element) == expected.kind && size_of(element) == expected.size;
}

}  // namespace

bool check_format(const char* format, const ElementType& expected) {
    Contents contents;
    const char* p = format ? format : "B";
    if (!scan(p, contents, false, 0)) return false;
    if (contents.has_struct) {
        if (contents.element_count == 1 && matches(contents.first, expected)) return true;
        return mismatch("'", expected.name, "a struct");
    }
    if (contents.element_count == 0) return mismatch("'", expected.name, describe(Element{}));
    if (!matches(contents.first, expected)) return mismatch("'", expected.name, describe(contents.first));
    if (contents.element_count > 1) return mismatch("", "end", describe(contents.second));
    return true;
}

}  // namespace frame
