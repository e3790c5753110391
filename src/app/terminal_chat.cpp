#include "app/terminal_chat.h"

#include <cstdlib>
#include <string>

#include "console/line_editor.h"
#include "peer/protocol.h"
#include "platform/platform.h"
#include "secure/secure_link.h"
#include "session/session.h"

namespace {

// A line of any length goes whole, in pieces cut between characters.
void send_whole(PeerSession* s, const std::string& line) {
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t left = line.size() - at;
        const std::size_t n = left > kMaxChatLine ? utf8_cut(line.data() + at, kMaxChatLine) : left;
        secure_link_send(s, line.data() + at, n);
        at += n;
    }
}

// Sends the lines the keys finished, in order; false once the chat is to end.
bool send_lines(PeerSession* s, const EditorOutput& out) {
    for (const EditedLine& line : out.lines) {
        if (!line.pasted && line.text == "quit") return false;
        send_whole(s, line.text);
    }
    return !out.ended;
}

bool colour_wanted(bool no_color) {
    const char* no = std::getenv("NO_COLOR");
    return !no_color && (no == nullptr || no[0] == '\0');
}

// What came after the line a prompt took (the port typed with the address, the first lines of
// the chat): the next prompt, or the chat, takes it first, as keys.
std::string typed_ahead;

void keep_typed_ahead(const LineEditor& e) { typed_ahead += e.text + e.pending; }

void take_typed_ahead(Console* console, EditorOutput* out) {
    std::string keys;
    keys.swap(typed_ahead);
    if (!keys.empty()) console_keys(console, keys.data(), keys.size(), out);
}

}  // namespace

bool chat_at_terminal(PeerSession* s, std::FILE* in, bool no_color) {
    if (in != stdin || !platform::terminal_begin()) return false;
    LineEditor editor;
    editor.colour = colour_wanted(no_color);
    editor.width = platform::terminal_width();
    console_edit_begin(&s->console, &editor);
    EditorOutput ahead;
    take_typed_ahead(&s->console, &ahead);
    char keys[4096];
    std::size_t got = 0;
    bool resized = false;
    bool going = send_lines(s, ahead);
    while (going && chat_goes_on(s) && platform::read_keys(keys, sizeof keys, &got, &resized)) {
        if (resized) {
            console_resize(&s->console, platform::terminal_width());
            continue;
        }
        EditorOutput out;
        console_keys(&s->console, keys, got, &out);
        going = send_lines(s, out);
    }
    console_edit_end(&s->console);
    platform::terminal_end();
    return true;
}

Asked ask_at_terminal(Console* console, std::FILE* in, const char* prompt, std::string* answer) {
    if (in != stdin || !platform::terminal_begin()) return Asked::no_terminal;
    std::fflush(stdout);  // the screen printed before comes first
    LineEditor editor;
    editor.prompt = prompt;
    editor.one_line = true;
    editor.width = platform::terminal_width();
    console_edit_begin(console, &editor);
    EditorOutput out;
    take_typed_ahead(console, &out);
    char keys[4096];
    std::size_t got = 0;
    bool resized = false;
    while (out.lines.empty() && !out.ended && platform::read_keys(keys, sizeof keys, &got, &resized)) {
        out = EditorOutput{};
        if (resized) console_resize(console, platform::terminal_width());
        else console_keys(console, keys, got, &out);
    }
    keep_typed_ahead(editor);
    console_edit_end(console);
    platform::terminal_end();
    if (out.lines.empty()) return Asked::ended;
    *answer = out.lines.front().text;
    return Asked::line;
}
