/*
 * prog_args.h - numbers from the command lines of the small test programs.
 *
 * Command lines are untrusted: a value that is not wholly a number, or that
 * does not fit where it goes, stops the program with a message and status 1
 * instead of reaching the library as a silent 0 or a truncated value.
 */
#ifndef PROG_ARGS_H
#define PROG_ARGS_H

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static inline void prog_bad_number(const char *prog, int opt, const char *text)
{
    fprintf(stderr, "%s: bad number for -%c: '%s'\n", prog, opt, text);
    exit(1);
}

/* A signed number in base 0 within [min, max]. */
static inline long long prog_number(const char *prog, int opt, const char *text,
                                    long long min, long long max)
{
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE || v < min || v > max)
        prog_bad_number(prog, opt, text);
    return v;
}

/* A 64-bit pattern in base 0: unsigned, or negative for the two's complement
 * (so "-1" and "0xffffffffffffffff" both give all ones). */
static inline uint64_t prog_bits64(const char *prog, int opt, const char *text)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE) prog_bad_number(prog, opt, text);
    return (uint64_t)v;
}

#endif /* PROG_ARGS_H */
