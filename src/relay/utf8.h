#ifndef QUILLPASS_UTF8_H
#define QUILLPASS_UTF8_H

// The continuation bytes a UTF-8 lead byte announces, read leniently, as
// terminals decode: overlong forms, surrogates and values past U+10FFFF
// decode too, and five- and six-byte forms count. 0 for a byte that leads
// nothing: ASCII, a continuation byte, 0xFE and 0xFF.
constexpr unsigned utf8_continuations(unsigned char c)
{
    return c < 0xc0 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : c < 0xf8 ? 3 : c < 0xfc ? 4 : c < 0xfe ? 5 : 0;
}

#endif
