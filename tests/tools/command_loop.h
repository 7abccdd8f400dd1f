// The command loop of the test tools and the bench drivers: one command a line, its
// first word naming the handler that reads the rest; what the handler returns is
// answered as one line after the prefix (an empty text answers nothing).
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

class CommandLoop {
  public:
    using Handler = std::function<std::string(std::istream &args)>;

    explicit CommandLoop(std::string prefix = "> ", std::string unknown = "unknown ")
        : prefix_(std::move(prefix)), unknown_(std::move(unknown)) {}

    CommandLoop &on(const std::string &name, Handler handler) {
        handlers_[name] = std::move(handler);
        return *this;
    }

    // One answer line; safe from any thread.
    void answer(const std::string &text) {
        std::lock_guard lock(out_lock_);
        printf("%s%s\n", prefix_.c_str(), text.c_str());
        fflush(stdout);
    }

    // Until the end of the input or the quit command.
    void run(std::istream &in, const std::string &quit = "quit") {
        for (std::string line; std::getline(in, line);) {
            std::istringstream args(line);
            std::string name;
            if (!(args >> name))
                continue;
            if (name == quit)
                return;
            auto handler = handlers_.find(name);
            std::string text = handler == handlers_.end() ? unknown_ + name : handler->second(args);
            if (!text.empty())
                answer(text);
        }
    }

  private:
    std::string prefix_, unknown_;
    std::map<std::string, Handler> handlers_;
    std::mutex out_lock_;
};

inline std::string ms_since(std::chrono::steady_clock::time_point began) {
    using namespace std::chrono;
    return std::to_string(duration_cast<milliseconds>(steady_clock::now() - began).count());
}
