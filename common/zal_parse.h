/*
 * zal_parse.h - the one reader of whole numbers that a user types: board
 * numbers, option values and register arguments of the tools, and the board
 * numbers the device layer takes by name.  Each caller names the base its
 * command line documents and says itself what a refusal looks like.
 *
 * Valid C and C++.
 */
#ifndef ZAL_PARSE_H
#define ZAL_PARSE_H

#ifdef __cplusplus
extern "C" {
#endif

/* A whole number in base (10; or 0: "0x" hexadecimal, a leading 0 octal,
 * else decimal) that starts with a digit, ends at the character stop ('\0'
 * for the end of the text) and is at most max.  Signs, blanks and anything
 * else before stop are refused: strtoul alone would take "-1", " 7" or "9x".
 * 0 with *out set (and *end at the stop character when end is not null), or
 * EINVAL with nothing set. */
int zal_parse_whole(const char *s, int base, char stop, unsigned long long max, unsigned long long *out,
                    const char **end);

#ifdef __cplusplus
}
#endif

#endif /* ZAL_PARSE_H */
