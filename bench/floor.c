/* The floor of the I/O that a call of parse_vcf_files must do, in plain C.
 *
 *     floor [-b BLOCK] RECORDS TABLE...
 *     floor -s ROUNDS
 *
 * Reads every TABLE with 64 KiB reads (BLOCK bytes with -b), finding line ends with
 * memchr, and for each kept
 * record opens its reference file, reads its window with one pread and closes it again,
 * exactly the system calls the module cannot avoid. Nothing is decoded or formatted.
 *
 * RECORDS lists the kept records, one a line: table index (0-based, into the TABLE
 * arguments), line index in that table (0-based), reference file path, window offset and
 * window length, tab-separated, in table and line order. It is loaded before the clock
 * starts ("-" or an empty file for none, to time the scan of the tables alone).
 *
 * Prints one line: seconds, lines read, records read, table bytes read.
 *
 * With -s, times ROUNDS rounds of three empty system calls instead: the kernel round trips
 * of one record's open, pread and close without their work, which is all that batching
 * them can save. Prints the seconds.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { MAX_BLOCK = 1 << 20, MAX_WINDOW = 4096 };

struct record {
    unsigned table;
    uint64_t line;
    char* path;
    uint64_t offset;
    size_t length;
};

static void die(const char* what, const char* detail) {
    fprintf(stderr, "floor: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    exit(2);
}

static struct record* load_records(const char* name, size_t* count) {
    *count = 0;
    if (strcmp(name, "-") == 0)
        return NULL;
    FILE* in = fopen(name, "r");
    if (in == NULL)
        die("cannot open", name);
    size_t capacity = 1024;
    struct record* records = malloc(capacity * sizeof *records);
    char* line = NULL;
    size_t line_capacity = 0;
    ssize_t n;
    while ((n = getline(&line, &line_capacity, in)) > 0) {
        if (*count == capacity) {
            capacity *= 2;
            records = realloc(records, capacity * sizeof *records);
        }
        if (records == NULL)
            die("out of memory", NULL);
        struct record* r = &records[*count];
        char path[4096];
        unsigned long long line_index, offset, length;
        if (sscanf(line, "%u\t%llu\t%4095[^\t]\t%llu\t%llu", &r->table, &line_index, path,
                   &offset, &length) != 5 ||
            length > MAX_WINDOW)
            die("bad record line in", name);
        r->line = line_index;
        r->path = strdup(path);
        r->offset = offset;
        r->length = length;
        ++*count;
    }
    free(line);
    fclose(in);
    return records;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static void read_window(const struct record* r, char* window) {
    int fd = open(r->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open", r->path);
    if (pread(fd, window, r->length, (off_t)r->offset) != (ssize_t)r->length)
        die("short window read in", r->path);
    close(fd);
}

static int time_round_trips(const char* rounds_text) {
    const unsigned long rounds = strtoul(rounds_text, NULL, 10);
    const double start = now();
    for (unsigned long i = 0; i < rounds; ++i) {
        syscall(SYS_getppid);
        syscall(SYS_getppid);
        syscall(SYS_getppid);
    }
    printf("%.6f\n", now() - start);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "-s") == 0)
        return time_round_trips(argv[2]);
    size_t block_size = 64 * 1024;
    if (argc > 2 && strcmp(argv[1], "-b") == 0) {
        block_size = strtoul(argv[2], NULL, 10);
        if (block_size == 0 || block_size > MAX_BLOCK)
            die("bad block size", argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc < 3)
        die("usage: floor [-b BLOCK] RECORDS TABLE...", NULL);
    size_t count = 0;
    struct record* records = load_records(argv[1], &count);
    static char block[MAX_BLOCK];
    static char window[MAX_WINDOW];
    size_t next = 0;
    uint64_t lines = 0, bytes = 0;

    const double start = now();
    for (unsigned table = 0; table + 2 < (unsigned)argc; ++table) {
        int fd = open(argv[table + 2], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            die("cannot open", argv[table + 2]);
        uint64_t line = 0;
        int pending = 0; /* bytes after the last line feed: an unterminated last line */
        for (;;) {
            ssize_t n = read(fd, block, block_size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                die("cannot read", argv[table + 2]);
            if (n == 0)
                break;
            bytes += (uint64_t)n;
            const char* p = block;
            const char* end = block + n;
            const char* lf;
            while ((lf = memchr(p, '\n', (size_t)(end - p))) != NULL) {
                while (next < count && records[next].table == table &&
                       records[next].line == line)
                    read_window(&records[next++], window);
                ++line;
                p = lf + 1;
            }
            pending = p != end;
        }
        if (pending) {
            while (next < count && records[next].table == table && records[next].line == line)
                read_window(&records[next++], window);
            ++line;
        }
        close(fd);
        lines += line;
    }
    const double seconds = now() - start;

    if (next != count)
        die("records left over: not in table and line order, or past the end", NULL);
    printf("%.6f %llu %zu %llu\n", seconds, (unsigned long long)lines, count,
           (unsigned long long)bytes);
    return 0;
}
