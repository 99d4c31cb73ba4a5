#pragma once
// The crash report: when the program faults, "Win32Fault.log" in the current directory gets
// the fault's code, name and address and a walk of the saved frame pointers, the fatal message
// goes to standard error (and into a message box when a display is there), and the program
// ends by the signal's default action.
#include <cstdint>
#include <string>

// Installs the handlers (on an alternate stack, so that a stack overflow is reported too).
// Called first thing at start-up; calling it again changes nothing.
void InstallFaultFilter();

// Exception codes the report names, as the Windows structured exceptions number them.
enum FaultCode : std::uint32_t {
    kDatatypeMisalignment = 0x80000002,
    kBreakpoint = 0x80000003,
    kSingleStep = 0x80000004,
    kAccessViolation = 0xC0000005,
    kInPageError = 0xC0000006,
    kIllegalInstruction = 0xC000001D,
    kArrayBoundsExceeded = 0xC000008C,
    kFltDenormalOperand = 0xC000008D,
    kFltDivideByZero = 0xC000008E,
    kFltInexactResult = 0xC000008F,
    kFltInvalidOperation = 0xC0000090,
    kFltOverflow = 0xC0000091,
    kFltStackCheck = 0xC0000092,
    kFltUnderflow = 0xC0000093,
    kIntDivideByZero = 0xC0000094, // not in the table of names: "(unknown)"
    kIntOverflow = 0xC0000095,
    kPrivInstruction = 0xC0000096,
    kStackOverflow = 0xC00000FD,
    kAbort = 0x40000015, // not in the table of names: "(unknown)"
};

// The name the report gives a code, "(unknown)" for codes outside the table.
const char* FaultName(std::uint32_t code);

// The code of a signal, its si_code, and whether the faulting address lies in the stack's
// guard area.
std::uint32_t FaultCodeOf(int signal, int siCode, bool inStackGuard);

// The stack a walk may read: [low, high).
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};

// The fatal-error message for a code.
std::string FatalMessage(std::uint32_t code);

// Writes the stack part of the report to `fd`: the fault address, then per frame (at most 100)
// up to 20 argument bytes and the return address. With a zero frame pointer the walk starts at
// this function's own frame. The walk ends at a frame pointer outside `bounds` (the calling
// thread's stack when null), misaligned, or not above the one before.
void WriteStackTrace(int fd, std::uintptr_t faultAddress, std::uintptr_t framePointer,
                     const StackBounds* bounds = nullptr);
