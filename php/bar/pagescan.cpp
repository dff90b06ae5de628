#include "pagescan.h"

#include <cstring>
#include <strings.h>

namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The first occurrence of `needle` in [from, size), or size.
size_t find(const char* data, size_t size, size_t from, const char* needle) {
    const size_t length = strlen(needle);
    if (from >= size || size - from < length)
        return size;
    const void* at = memmem(data + from, size - from, needle, length);
    return at ? static_cast<size_t>(static_cast<const char*>(at) - data) : size;
}

// The markup openings and ends ("<!--", "</", "-->", ...) are punctuation, or
// case-sensitive like CDATA's: a plain comparison, made for every '<' of the page.
template <size_t N>
bool opensWith(const char* data, size_t size, size_t at, const char (&prefix)[N]) {
    return at <= size && size - at >= N - 1 && memcmp(data + at, prefix, N - 1) == 0;
}

// Index just past the comment whose "<!--" is at `at`: it ends at "-->" or "--!>", and
// "<!-->" and "<!--->" are empty comments.
size_t commentEnd(const char* data, size_t size, size_t at) {
    size_t i = at + 4;
    if (opensWith(data, size, i, ">"))
        return i + 1;
    if (opensWith(data, size, i, "->"))
        return i + 2;
    while ((i = find(data, size, i, "--")) < size) {
        if (opensWith(data, size, i + 2, ">"))
            return i + 3;
        if (opensWith(data, size, i + 2, "!>"))
            return i + 4;
        ++i;
    }
    return size;
}

// Index just past the tag whose name ends at `i`: at its '>', passing over quoted
// attribute values.
size_t tagEnd(const char* data, size_t size, size_t i) {
    char quote = 0;
    bool afterEquals = false;
    for (; i < size; ++i) {
        const char c = data[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '>') {
            return i + 1;
        } else if (afterEquals && (c == '"' || c == '\'')) {
            quote = c;
            afterEquals = false;
        } else if (c == '=') {
            afterEquals = true;
        } else if (!isSpace(c)) {
            afterEquals = false;
        }
    }
    return size;
}

// Whether a tag's name is `candidate` (lower case), case ignored. Most names differ in
// length or first letter, which is tested first: the scan asks this of every tag.
template <size_t N> bool isName(const char* name, size_t length, const char (&candidate)[N]) {
    return length == N - 1 && (name[0] | 0x20) == candidate[0] &&
           strncasecmp(name, candidate, length) == 0;
}

// Elements whose content the parser takes as text up to their own end tag.
bool isRawText(const char* name, size_t length) {
    switch (length) {
    case 3:
        return isName(name, length, "xmp");
    case 5:
        return isName(name, length, "style") || isName(name, length, "title");
    case 6:
        return isName(name, length, "script") || isName(name, length, "iframe");
    case 7:
        return isName(name, length, "noembed");
    case 8:
        return isName(name, length, "textarea") || isName(name, length, "noframes") ||
               isName(name, length, "noscript");
    default:
        return false;
    }
}

// Index of the end tag "</name" (followed by a blank, '/' or '>') at or after `from`.
size_t endTag(const char* data, size_t size, size_t from, const char* name, size_t length) {
    for (size_t i = from; (i = find(data, size, i, "</")) < size; ++i) {
        const size_t after = i + 2 + length;
        if (after <= size && strncasecmp(data + i + 2, name, length) == 0 &&
            (after == size || isSpace(data[after]) || data[after] == '/' || data[after] == '>'))
            return i;
    }
    return size;
}

} // namespace

PageScan::Places PageScan::places(const char* data, size_t size) {
    Places places;
    size_t firstHead = None;
    int templates = 0;
    size_t i = 0;
    while (i < size) {
        const void* open = memchr(data + i, '<', size - i);
        if (!open)
            break;
        i = static_cast<size_t>(static_cast<const char*>(open) - data);
        if (opensWith(data, size, i, "<!--")) {
            i = commentEnd(data, size, i);
            continue;
        }
        if (opensWith(data, size, i, "<![CDATA[")) {
            const size_t end = find(data, size, i + 9, "]]>");
            i = end == size ? size : end + 3;
            continue;
        }
        if (opensWith(data, size, i, "<!") || opensWith(data, size, i, "<?")) {
            // A doctype or a bogus comment, up to the next '>'.
            const void* close = memchr(data + i, '>', size - i);
            i = close ? static_cast<size_t>(static_cast<const char*>(close) - data) + 1 : size;
            continue;
        }
        const bool closing = opensWith(data, size, i, "</");
        const size_t nameStart = i + (closing ? 2 : 1);
        if (nameStart >= size || !isAsciiLetter(data[nameStart])) {
            ++i;
            continue;
        }
        size_t nameEnd = nameStart;
        while (nameEnd < size && !isSpace(data[nameEnd]) && data[nameEnd] != '/' &&
               data[nameEnd] != '>')
            ++nameEnd;
        const char* name = data + nameStart;
        const size_t length = nameEnd - nameStart;
        if (closing) {
            if (isName(name, length, "template")) {
                templates = templates > 0 ? templates - 1 : 0;
            } else if (templates == 0 && isName(name, length, "head")) {
                if (firstHead == None)
                    firstHead = i;
            } else if (templates == 0 && isName(name, length, "body")) {
                places.body = i;
            }
            i = tagEnd(data, size, nameEnd);
            continue;
        }
        if (isName(name, length, "template"))
            ++templates;
        i = tagEnd(data, size, nameEnd);
        if (isName(name, length, "plaintext"))
            break;
        if (isRawText(name, length))
            i = endTag(data, size, i, name, length);
    }
    if (places.body != None && firstHead != None && firstHead < places.body)
        places.head = firstHead;
    return places;
}

bool PageScan::mayBeHtml(const char* data, size_t size) {
    size_t i = 0;
    if (size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0)
        i = 3;
    while (i < size && isSpace(data[i]))
        ++i;
    return i == size || (data[i] != '{' && data[i] != '[');
}
