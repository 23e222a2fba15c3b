#ifndef BASE_OMI_SINGLETON_H
#define BASE_OMI_SINGLETON_H

// A process-wide object created on first use and never destroyed before exit.
// Function-local statics make the creation thread-safe.
template <class T> class omi_Singleton {
public:
    static T& Instance() {
        static T instance;
        return instance;
    }
};

#endif
