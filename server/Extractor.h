#pragma once
// The service's side of zdx-extract: documents are read in that separate process, started on
// the first document of a scan and ended with the scan. A document that crashes it, hangs it
// or bloats it past its limits costs that document only: it is indexed by name, and the
// process starts again for the next one.
#include "Extract.h"

#include <string>
#include <sys/types.h>

namespace zdxserver {

class Extractor {
public:
    // How long one document may take, waiting included, before the process is ended.
    static constexpr int kWallSeconds = 30;

    // The zdx-extract beside the running program (FindProgram), or `program`.
    Extractor();
    explicit Extractor(std::string program, int wallSeconds = kWallSeconds);
    ~Extractor();
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    struct Outcome {
        bool read = false;   // the extractor answered
        Extracted text;      // what it read (format only for a file that is no document)
        std::string failure; // why not, when it did not
    };
    // Reads a document; with `nameOnly`, only names the format of a file that holds no text.
    Outcome Read(const std::string& fileName, const std::string& bytes, bool nameOnly);

    // True once it turned out that there is no extractor to run.
    bool Missing() const { return m_missingSaid; }

    // Where the zdx-extract beside `self` (a program's path) is, or the build's own.
    static std::string FindProgram();

private:
    bool Start();
    // Ends the process; returns why it ended, in words, when it had failed.
    std::string Stop(bool kill);

    std::string m_program;
    int m_wallSeconds = kWallSeconds;
    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_missingSaid = false;
};

} // namespace zdxserver
