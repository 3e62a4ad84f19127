#include "lx/report/parent_channel.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

namespace tessarin::linux_port {

std::string EncodeChannelMessage(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    for (char ch : fields[i]) {
      if (ch == '%' || ch == '\t' || ch == '\n' || ch == '\r') {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(ch));
        line += buf;
      } else {
        line += ch;
      }
    }
  }
  return line + "\n";
}

std::vector<std::string> DecodeChannelMessage(const std::string& line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\t') {
      fields.emplace_back();
    } else if (line[i] == '%' && i + 2 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(line[i + 2]))) {
      fields.back() += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      fields.back() += line[i];
    }
  }
  return fields;
}

void ParentChannel::Send(const std::vector<std::string>& fields) {
  const std::string line = EncodeChannelMessage(fields);
  // Whole lines: the pipe keeps a write of this size in one piece.
  (void)!write(fd_, line.data(), line.size());
}

void ParentChannel::OnLogLine(const std::string& line) {
  const LogLineParts parts = SplitLogLine(line);
  Send({"state", parts.text});
}

void ParentChannel::OnStepBegin(const std::string& step) { Send({"begin", step}); }
void ParentChannel::OnStepDetail(const std::string& detail) { Send({"detail", detail}); }

void ParentChannel::OnStepAdvance(std::uint64_t done, std::uint64_t total) {
  const auto now = std::chrono::steady_clock::now();
  if (done < total && now - lastAdvance_ < std::chrono::milliseconds(200)) return;
  lastAdvance_ = now;
  Send({"advance", std::to_string(done), std::to_string(total)});
}

void ParentChannel::OnStepEnd() { Send({"end"}); }

void ParentChannel::Ask(const std::string& question) { Send({"ask", question}); }

void ParentChannel::Finish(int status, const std::string& savedProject) {
  Send({"result", std::to_string(status), savedProject});
}

}  // namespace tessarin::linux_port
