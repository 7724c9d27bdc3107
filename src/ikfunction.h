#ifndef IKFUNCTION_H
#define IKFUNCTION_H

class KCommandLine;

// One function of the agent, chosen by name with option "f". Function objects live on
// main's stack as their concrete class, so no virtual destructor is needed.
class IKFunction {
public:
    // Returns 0 on success and -1 on failure; main turns it into the exit status.
    virtual int run(const KCommandLine& commandLine) = 0;
};

#endif
