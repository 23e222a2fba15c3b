#ifndef IPM_IPM_FORKSAFETY_H
#define IPM_IPM_FORKSAFETY_H

// Keeps reporting sound in a child that a host makes with fork() while the library runs. Across
// the fork it holds the locks under which reports are recorded, so that the child finds none of
// them held by a thread it does not have; in the child, what was inherited records reports but
// delivers none (the delivery thread is not there, and the connection is the parent's). A fork
// while another thread starts or stops reporting is not covered.
class ipm_ForkSafety {
public:
    // Registers the handlers, once per process. The transmitter calls it when it is made.
    static void Install();
    // 0 in the process that loaded the library, and one more in each generation of children
    // made by fork: a thing set up under one number and found under another was inherited.
    static unsigned long ProcessNumber();
};

#endif
