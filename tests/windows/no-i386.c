// Runs a command as if the kernel could not run i386 code: a seccomp filter, inherited by the
// command and everything it starts, kills any process that makes a system call through the
// i386 entry points (a 32-bit program, or int 0x80 from a 64-bit one). Programs emulated by
// qemu-user make only x86_64 calls, so a 32-bit suite that passes under this filter has run
// on the emulator and not on the kernel's own i386 support.
//
//   no-i386 COMMAND [ARG...]
//   no-i386 --kill-arch=x86_64 COMMAND [ARG...]   kills x86_64 calls instead, so that a test
//                                                 can prove the filter on a kernel that runs
//                                                 no i386 code at all
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

static int usage(void) {
    fprintf(stderr, "usage: no-i386 [--kill-arch=i386|x86_64] COMMAND [ARG...]\n");
    return 2;
}

static int install_filter(unsigned int killed_arch) {
    struct sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, killed_arch, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog filter = {
        .len = (unsigned short)(sizeof(program) / sizeof(program[0])),
        .filter = program,
    };
    // Without it an unprivileged caller may not install a filter; nothing this wraps relies
    // on gaining privileges through exec.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        perror("no-i386: PR_SET_NO_NEW_PRIVS");
        return -1;
    }
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        perror("no-i386: PR_SET_SECCOMP");
        return -1;
    }
    return 0;
}

int main(int argc, char** argv) {
    unsigned int killed_arch = AUDIT_ARCH_I386;
    int first = 1;
    if (first < argc && strncmp(argv[first], "--kill-arch=", 12) == 0) {
        const char* name = argv[first] + 12;
        if (strcmp(name, "i386") == 0)
            killed_arch = AUDIT_ARCH_I386;
        else if (strcmp(name, "x86_64") == 0)
            killed_arch = AUDIT_ARCH_X86_64;
        else
            return usage();
        ++first;
    }
    if (first < argc && strcmp(argv[first], "--") == 0)
        ++first;
    if (first >= argc)
        return usage();
    if (install_filter(killed_arch) != 0)
        return 125;
    execvp(argv[first], argv + first);
    // Only reached when the filter allowed the call: report why the command did not start.
    fprintf(stderr, "no-i386: cannot run %s: %s\n", argv[first], strerror(errno));
    return errno == ENOENT ? 127 : 126;
}
