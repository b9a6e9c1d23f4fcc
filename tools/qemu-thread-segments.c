/* Preloaded by tools/wine32.sh into Wine's 32-bit loader when it runs under
 * qemu-i386: an i386 Linux library without libc headers (gcc -m32 -nostdlib).
 *
 * qemu's user mode keeps one descriptor table for all the threads of a
 * process, where Linux keeps the thread-local entries per thread. A thread's
 * %gs (glibc's thread data, set by clone) and %fs (Wine's TEB, set with
 * set_thread_area) therefore name the entry of whichever thread set it last,
 * and the next time a thread loads its selector -- Wine does in each of its
 * signal handlers, qemu on each return from one -- it runs on another
 * thread's data: the wrong thread id, the wrong server pipe, hangs, crashes.
 * The local descriptor table is one per process on Linux too, so its entries
 * may differ per thread: each thread gets a %gs entry of its own there, and
 * the free thread-local entries are taken, so that Wine gives each thread an
 * %fs entry there as well (its fallback where set_thread_area finds none). */

typedef unsigned long pthread_t;
extern void *dlsym(void *handle, const char *name);
extern void *malloc(__SIZE_TYPE__ size);
extern void free(void *block);
extern int pthread_key_create(unsigned *key, void (*destructor)(void *));
extern int pthread_setspecific(unsigned key, const void *value);

#define RTLD_NEXT ((void *)-1l)
#define SYS_MODIFY_LDT 123
#define SYS_SCHED_YIELD 158
#define SYS_RT_SIGPROCMASK 175
#define SYS_SET_THREAD_AREA 243
#define GLIBC_GS 0x33 /* the first thread-local entry, as glibc takes it */
/* seg_32bit, limit_in_pages and useable, as glibc's own descriptor */
#define TLS_FLAGS (1u | 1u << 4 | 1u << 6)
/* Wine takes the LDT from entry 512 on when %gs is already there. */
#define ENTRIES 512

struct user_desc {
    unsigned entry, base, limit, flags;
};

struct start {
    void *(*routine)(void *);
    void *argument;
    unsigned long mask[2]; /* the creator's signal mask */
    volatile int switched;
};

static int engaged;
static unsigned char taken[ENTRIES];
static unsigned next_entry = 1, entry_key;
static volatile int entry_lock, create_lock;

static int sys(int number, int a, int b, int c, int d)
{
    int result;
    __asm__ volatile("push %%ebx; mov %2, %%ebx; int $0x80; pop %%ebx"
                     : "=a"(result)
                     : "a"(number), "r"(a), "c"(b), "d"(c), "S"(d)
                     : "memory");
    return result;
}

static void lock(volatile int *l)
{
    while (__sync_lock_test_and_set(l, 1)) sys(SYS_SCHED_YIELD, 0, 0, 0, 0);
}

static void unlock(volatile int *l)
{
    __sync_lock_release(l);
}

static unsigned thread_data(void)
{
    unsigned base;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(base)); /* glibc's self pointer */
    return base;
}

static unsigned short gs(void)
{
    unsigned short selector;
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    return selector;
}

static void load_gs(unsigned short selector)
{
    __asm__ volatile("movw %0, %%gs" ::"r"(selector) : "memory");
}

static void release_entry(void *entry)
{
    lock(&entry_lock);
    taken[(unsigned)entry] = 0;
    unlock(&entry_lock);
}

/* Moves this thread's %gs to an LDT entry of its own; 0 if none is free.
 * Entries are handed out in turn, so a freed one waits long before reuse. */
static unsigned own_gs_entry(void)
{
    unsigned entry = 0;
    lock(&entry_lock);
    for (unsigned tries = 1; tries < ENTRIES && !entry; tries++) {
        if (!taken[next_entry]) taken[entry = next_entry] = 1;
        next_entry = next_entry % (ENTRIES - 1) + 1;
    }
    unlock(&entry_lock);
    if (!entry) return 0;
    struct user_desc d = {entry, thread_data(), 0xfffff, TLS_FLAGS};
    if (sys(SYS_MODIFY_LDT, 0x11, (int)&d, sizeof d, 0) < 0) {
        release_entry((void *)entry);
        return 0;
    }
    load_gs(entry << 3 | 7);
    return entry;
}

static void *begin(void *data)
{
    struct start *s = data;
    void *(*routine)(void *) = s->routine;
    void *argument = s->argument;
    unsigned long mask[2] = {s->mask[0], s->mask[1]};
    unsigned entry = own_gs_entry();
    if (entry) pthread_setspecific(entry_key, (void *)entry);
    s->switched = 1; /* the creator frees s */
    sys(SYS_RT_SIGPROCMASK, 2 /* SIG_SETMASK */, (int)mask, 0, 8);
    return routine(argument);
}

/* glibc's clone gives the new thread the thread-local entry that the
 * creator's %gs names, so for that moment the creator goes back to it, with
 * its own data there and no signal let in, until the new thread has left. */
int pthread_create(pthread_t *thread, const void *attributes, void *(*routine)(void *),
                   void *argument)
{
    static int (*create)(pthread_t *, const void *, void *(*)(void *), void *);
    if (!create) create = dlsym(RTLD_NEXT, "pthread_create");
    if (!engaged) return create(thread, attributes, routine, argument);

    struct start *s = malloc(sizeof *s);
    if (!s) return 12; /* EAGAIN would retry; ENOMEM is the truth */
    s->routine = routine;
    s->argument = argument;
    s->switched = 0;
    unsigned long all[2] = {~0ul, ~0ul};
    sys(SYS_RT_SIGPROCMASK, 0 /* SIG_BLOCK */, (int)all, (int)s->mask, 8);
    lock(&create_lock);
    unsigned short own = gs();
    struct user_desc d = {GLIBC_GS >> 3, thread_data(), 0xfffff, TLS_FLAGS};
    sys(SYS_SET_THREAD_AREA, (int)&d, 0, 0, 0);
    load_gs(GLIBC_GS);
    int result = create(thread, attributes, begin, s);
    while (!result && !s->switched) sys(SYS_SCHED_YIELD, 0, 0, 0, 0);
    load_gs(own);
    unlock(&create_lock);
    sys(SYS_RT_SIGPROCMASK, 2 /* SIG_SETMASK */, (int)s->mask, 0, 8);
    free(s);
    return result;
}

__attribute__((constructor)) static void engage(void)
{
    if (gs() != GLIBC_GS) return; /* not the layout this mends */
    for (int i = 0; i < 2; i++) {
        struct user_desc placeholder = {(unsigned)-1, 0, 0, 1};
        if (sys(SYS_SET_THREAD_AREA, (int)&placeholder, 0, 0, 0) < 0) break;
    }
    if (pthread_key_create(&entry_key, release_entry) != 0) return;
    engaged = own_gs_entry() != 0;
}
