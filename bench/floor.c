/* The floor of the I/O that a call of parse_vcf_files must do, in plain C.
 *
 *     floor [-b BLOCK] [-u | -U] RECORDS TABLE...
 *     floor [-b BLOCK] [-u | -U] -l TABLE_LIST RECORDS
 *     floor -s ROUNDS
 *
 * Reads every TABLE with 64 KiB reads (BLOCK bytes with -b), finding line ends with
 * memchr, and for each kept
 * record opens its reference file, reads its window with one pread and closes it again,
 * exactly the system calls the module cannot avoid. Nothing is decoded or formatted.
 *
 * With -u (the batched floor) the windows go through one io_uring instead: each record's
 * open, read and close are three linked requests on a direct descriptor (no process
 * descriptor is used), queued as the table is read and submitted 128 records at a time
 * with one system call; a table's last, partial batch is submitted when its last line has
 * been read. -U does the same, but opens each file relative to an O_PATH handle on its
 * folder, taken at its first use, instead of walking the whole path again for every record.
 *
 * With -l the tables are the lines of TABLE_LIST instead of arguments (for thousands).
 *
 * RECORDS lists the kept records, one a line: table index (0-based, into the TABLE
 * arguments), line index in that table (0-based), reference file path, window offset and
 * window length, tab-separated, in table and line order. It is loaded before the clock
 * starts ("-" or an empty file for none, to time the scan of the tables alone).
 *
 * Prints one line: seconds, lines read, records read, table bytes read, and the processor
 * seconds (user and system, of all its threads) that the timed part took.
 *
 * With -s, times ROUNDS rounds of three empty system calls instead: the kernel round trips
 * of one record's open, pread and close without their work, which is all that batching
 * them can save. Prints the seconds and the processor seconds.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <liburing.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { MAX_BLOCK = 1 << 20, MAX_WINDOW = 4096, BATCH = 128, MAX_FOLDERS = 64 };

struct record {
    unsigned table;
    uint64_t line;
    char* path;
    uint64_t offset;
    size_t length;
    unsigned folder; /* index into the folders, for -U */
    const char* name; /* the path after its folder, for -U */
};

/* The distinct folders of the reference files, for -U; their handles are opened when the
 * clock runs. */
static char* folders[MAX_FOLDERS];
static int folder_fds[MAX_FOLDERS];
static unsigned folder_count;

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
        char* slash = r->path ? strrchr(r->path, '/') : NULL;
        if (slash == NULL)
            die("reference path without a folder in", name);
        r->name = slash + 1;
        const size_t folder_length = (size_t)(slash - r->path);
        unsigned f = 0;
        while (f < folder_count && !(strlen(folders[f]) == folder_length &&
                                     memcmp(folders[f], r->path, folder_length) == 0))
            ++f;
        if (f == folder_count) {
            if (folder_count == MAX_FOLDERS)
                die("too many reference folders in", name);
            folders[f] = strndup(r->path, folder_length);
            folder_fds[f] = -1;
            ++folder_count;
        }
        r->folder = f;
        ++*count;
    }
    free(line);
    fclose(in);
    return records;
}

/* The lines of a file, without their line feeds. */
static char** load_lines(const char* name, unsigned* count) {
    FILE* in = fopen(name, "r");
    if (in == NULL)
        die("cannot open", name);
    size_t capacity = 1024;
    char** lines = malloc(capacity * sizeof *lines);
    char* line = NULL;
    size_t line_capacity = 0;
    ssize_t n;
    *count = 0;
    while ((n = getline(&line, &line_capacity, in)) > 0) {
        if (*count == capacity) {
            capacity *= 2;
            lines = realloc(lines, capacity * sizeof *lines);
        }
        if (lines == NULL)
            die("out of memory", NULL);
        if (line[n - 1] == '\n')
            line[n - 1] = '\0';
        lines[(*count)++] = strdup(line);
    }
    free(line);
    fclose(in);
    return lines;
}

static double cpu(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static void read_window(const struct record* r) {
    static char window[MAX_WINDOW];
    int fd = open(r->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open", r->path);
    if (pread(fd, window, r->length, (off_t)r->offset) != (ssize_t)r->length)
        die("short window read in", r->path);
    close(fd);
}

/* The batched floor: one ring, BATCH records a submit. */
static struct io_uring ring;
static const struct record* queued[BATCH];
static unsigned queued_count;
static int relative_to_folder; /* -U */
static char ring_windows[BATCH][MAX_WINDOW];

static void ring_setup(void) {
    struct io_uring_params params;
    memset(&params, 0, sizeof params);
    params.flags = IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN;
    int rc = io_uring_queue_init_params(BATCH * 3, &ring, &params);
    if (rc < 0)
        die("cannot set up an io_uring", strerror(-rc));
    rc = io_uring_register_files_sparse(&ring, BATCH);
    if (rc < 0)
        die("cannot register direct descriptors", strerror(-rc));
}

static int folder_handle(unsigned f) {
    if (folder_fds[f] < 0) {
        folder_fds[f] = open(folders[f], O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder_fds[f] < 0)
            die("cannot open", folders[f]);
    }
    return folder_fds[f];
}

static void ring_flush(void) {
    const unsigned n = queued_count;
    if (n == 0)
        return;
    for (unsigned i = 0; i < n; ++i) {
        const struct record* r = queued[i];
        struct io_uring_sqe* open_sqe = io_uring_get_sqe(&ring);
        struct io_uring_sqe* read_sqe = io_uring_get_sqe(&ring);
        struct io_uring_sqe* close_sqe = io_uring_get_sqe(&ring);
        if (open_sqe == NULL || read_sqe == NULL || close_sqe == NULL)
            die("io_uring submission queue full", NULL);
        if (relative_to_folder)
            io_uring_prep_openat_direct(open_sqe, folder_handle(r->folder), r->name, O_RDONLY, 0,
                                        i);
        else
            io_uring_prep_openat_direct(open_sqe, AT_FDCWD, r->path, O_RDONLY, 0, i);
        open_sqe->flags |= IOSQE_IO_LINK;
        io_uring_sqe_set_data64(open_sqe, (uint64_t)i * 3);
        io_uring_prep_read(read_sqe, (int)i, ring_windows[i], (unsigned)r->length, r->offset);
        read_sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
        io_uring_sqe_set_data64(read_sqe, (uint64_t)i * 3 + 1);
        io_uring_prep_close_direct(close_sqe, i);
        io_uring_sqe_set_data64(close_sqe, (uint64_t)i * 3 + 2);
    }
    int submitted;
    do
        submitted = io_uring_submit_and_wait(&ring, n * 3);
    while (submitted == -EINTR);
    if (submitted != (int)(n * 3))
        die("io_uring submit failed", submitted < 0 ? strerror(-submitted) : "short submit");
    for (unsigned seen = 0; seen < n * 3;) {
        struct io_uring_cqe* cqe;
        int rc = io_uring_wait_cqe(&ring, &cqe);
        if (rc == -EINTR)
            continue;
        if (rc < 0)
            die("io_uring wait failed", strerror(-rc));
        unsigned head, count = 0;
        io_uring_for_each_cqe(&ring, head, cqe) {
            const uint64_t data = io_uring_cqe_get_data64(cqe);
            const struct record* r = queued[data / 3];
            if (data % 3 == 0 && cqe->res < 0)
                die("cannot open", r->path);
            if (data % 3 == 1 && cqe->res != (int)r->length)
                die("short window read in", r->path);
            ++count;
        }
        io_uring_cq_advance(&ring, count);
        seen += count;
    }
    queued_count = 0;
}

static void ring_queue(const struct record* r) {
    queued[queued_count++] = r;
    if (queued_count == BATCH)
        ring_flush();
}

static int time_round_trips(const char* rounds_text) {
    const unsigned long rounds = strtoul(rounds_text, NULL, 10);
    const double start = now(), start_cpu = cpu();
    for (unsigned long i = 0; i < rounds; ++i) {
        syscall(SYS_getppid);
        syscall(SYS_getppid);
        syscall(SYS_getppid);
    }
    printf("%.6f %.6f\n", now() - start, cpu() - start_cpu);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "-s") == 0)
        return time_round_trips(argv[2]);
    size_t block_size = 64 * 1024;
    int batched = 0;
    const char* table_list = NULL;
    for (;;) {
        if (argc > 2 && strcmp(argv[1], "-b") == 0) {
            block_size = strtoul(argv[2], NULL, 10);
            if (block_size == 0 || block_size > MAX_BLOCK)
                die("bad block size", argv[2]);
        } else if (argc > 2 && strcmp(argv[1], "-l") == 0) {
            table_list = argv[2];
        } else if (argc > 1 && (strcmp(argv[1], "-u") == 0 || strcmp(argv[1], "-U") == 0)) {
            batched = 1;
            relative_to_folder = argv[1][1] == 'U';
            argc -= 1;
            argv += 1;
            continue;
        } else {
            break;
        }
        argc -= 2;
        argv += 2;
    }
    if (argc < (table_list ? 2 : 3))
        die("usage: floor [-b BLOCK] [-u | -U] RECORDS TABLE... or -l TABLE_LIST RECORDS", NULL);
    size_t count = 0;
    struct record* records = load_records(argv[1], &count);
    char** tables = argv + 2;
    unsigned table_count = (unsigned)argc - 2;
    if (table_list != NULL)
        tables = load_lines(table_list, &table_count);
    static char block[MAX_BLOCK];
    size_t next = 0;
    uint64_t lines = 0, bytes = 0;

    void (*take)(const struct record*) = batched ? ring_queue : read_window;

    const double start = now(), start_cpu = cpu();
    if (batched)
        ring_setup();
    for (unsigned table = 0; table < table_count; ++table) {
        int fd = open(tables[table], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            die("cannot open", tables[table]);
        uint64_t line = 0;
        int pending = 0; /* bytes after the last line feed: an unterminated last line */
        for (;;) {
            ssize_t n = read(fd, block, block_size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                die("cannot read", tables[table]);
            if (n == 0)
                break;
            bytes += (uint64_t)n;
            const char* p = block;
            const char* end = block + n;
            const char* lf;
            while ((lf = memchr(p, '\n', (size_t)(end - p))) != NULL) {
                while (next < count && records[next].table == table &&
                       records[next].line == line)
                    take(&records[next++]);
                ++line;
                p = lf + 1;
            }
            pending = p != end;
        }
        if (pending) {
            while (next < count && records[next].table == table && records[next].line == line)
                take(&records[next++]);
            ++line;
        }
        if (batched)
            ring_flush();
        close(fd);
        lines += line;
    }
    if (batched) {
        io_uring_queue_exit(&ring);
        for (unsigned f = 0; f < folder_count; ++f)
            if (folder_fds[f] >= 0)
                close(folder_fds[f]);
    }
    const double seconds = now() - start, cpu_seconds = cpu() - start_cpu;

    if (next != count)
        die("records left over: not in table and line order, or past the end", NULL);
    printf("%.6f %llu %zu %llu %.6f\n", seconds, (unsigned long long)lines, count,
           (unsigned long long)bytes, cpu_seconds);
    return 0;
}
