#include "app/commandspecs.h"

#include <algorithm>
#include <string>

#include "app/terminalinput.h"

namespace {

const OptionSpec kJson{"--json", "", "", "print listings and the task list as JSON, for scripts"};

std::vector<CommandSpec> MakeSpecs() {
  std::vector<CommandSpec> specs;
  specs.push_back({"login", "USER", 1, 1,
                   {{"--password-stdin", "", "",
                     "read the password from the first line of standard input (at most " +
                         std::to_string(kMaxAnswerBytes) + " bytes)"},
                    {"--not-my-computer", "", "",
                     "inside \"ostrel shell\" only: delete the user's cached files and the sign-in when the shell "
                     "ends (see \"ostrel shell --help\" for what stays)"}},
                   "sign in and keep the sign-in for the commands that follow",
                   "Signs USER in. The password is read from the terminal without echo, or with\n"
                   "--password-stdin from standard input; never from the command line or the\n"
                   "environment. The sign-in is kept, so later commands need no password until\n"
                   "\"ostrel logout\".",
                   "ostrel login alice"});
  specs.push_back({"logout", "", 0, 0, {}, "sign out and forget the stored sign-in",
                   "Signs out, forgets the stored sign-in and trims the local cache folder.", "ostrel logout"});
  specs.push_back({"whoami", "", 0, 0, {kJson}, "show who is signed in",
                   "Prints the signed-in user's name, nick name and user id.", "ostrel whoami"});
  specs.push_back({"quota", "", 0, 0, {kJson}, "show the space used and available",
                   "Prints the bytes used and the bytes the account may hold.", "ostrel quota"});
  specs.push_back({"ls", "[PATH]", 0, 1,
                   {{"--long", "-l", "", "show kind, size, modification time and id"},
                    {"--shared-out", "", "", "list the items you share with others"},
                    {"--shared-to-me", "", "", "list the items others share with you (one folder per sharer)"},
                    {"--trash", "", "", "list the recycle bin"},
                    {"--refresh", "", "", "ask the service even when the cached listing is current"},
                    kJson},
                   "list a folder (own files, shared out, shared to me, recycle bin)",
                   "Lists the folder PATH (default \"/\") of your own files, one item per line;\n"
                   "folders end with \"/\". --shared-out, --shared-to-me and --trash list the other\n"
                   "views; PATH then names a folder inside that view (not for --trash).",
                   "ostrel ls -l /Docs"});
  specs.push_back({"mkdir", "PATH...", 1, kManyArgs, {}, "make folders",
                   "Makes each folder PATH; its parent folder must exist.", "ostrel mkdir /Docs/Reports"});
  specs.push_back({"mv", "PATH... FOLDER", 2, kManyArgs, {}, "move items into a folder",
                   "Moves each item PATH into the existing folder FOLDER.", "ostrel mv /a.txt /Docs"});
  specs.push_back({"rename", "PATH NAME", 2, 2, {}, "rename an item",
                   "Gives the item PATH the new name NAME (a name, not a path).",
                   "ostrel rename /Docs/a.txt b.txt"});
  specs.push_back({"rm", "PATH...", 1, kManyArgs, {}, "move items to the recycle bin",
                   "Moves each item PATH (file or folder) to the recycle bin.", "ostrel rm /Docs/old.txt"});
  specs.push_back({"restore", "NAME|ID...", 1, kManyArgs, {}, "restore items from the recycle bin",
                   "Restores each item of the recycle bin, named by its name (when no other item\n"
                   "there has it) or by its id (see \"ostrel ls --trash -l\"), to where it was.",
                   "ostrel restore old.txt"});
  specs.push_back({"empty-trash", "", 0, 0, {}, "empty the recycle bin",
                   "Deletes everything in the recycle bin for good.", "ostrel empty-trash"});
  specs.push_back({"search", "TEXT", 1, 1, {{"--long", "-l", "", "show kind, size, modification time and id"}, kJson},
                   "search the names and contents of your files",
                   "Prints the items whose name or content holds TEXT.", "ostrel search report"});
  specs.push_back({"put", "LOCAL... FOLDER", 2, kManyArgs,
                   {{"--shared-to-me", "", "",
                     "FOLDER is among the items others share with you (see \"ls --shared-to-me\")"}},
                   "upload files and folders",
                   "Uploads each local file or folder LOCAL into the cloud folder FOLDER and\n"
                   "waits until every transfer has ended. A progress bar shows size, speed and\n"
                   "time left when a transfer takes more than a second and standard output is a\n"
                   "terminal. An existing folder is merged after a prompt. Entries that cannot be\n"
                   "uploaded (links, special files, names with \"\\\", files over 300 MiB) are named\n"
                   "with the reason and make the exit status 1. With --shared-to-me,\n"
                   "FOLDER is a folder others share with you, or one inside it, as listed by\n"
                   "\"ls --shared-to-me\" (\"/SHARER/FOLDER\"); the share must allow writing.",
                   "ostrel put ./photos /Pictures"});
  specs.push_back({"get", "PATH... [LOCAL]", 1, kManyArgs,
                   {{"--shared-to-me", "", "",
                     "each PATH is among the items others share with you (see \"ls --shared-to-me\")"}},
                   "download files and folders",
                   "Downloads each cloud file or folder PATH into the local folder LOCAL (the\n"
                   "last argument when there are two or more; default \".\") and waits until\n"
                   "every transfer has ended. With one file PATH, LOCAL may also name the new\n"
                   "file. An existing local file is replaced after a prompt. With --shared-to-me,\n"
                   "each PATH names an item others share with you, or one inside it, as listed\n"
                   "by \"ls --shared-to-me\" (\"/SHARER/NAME\").",
                   "ostrel get /Docs/a.txt ."});
  specs.push_back({"edit", "PATH", 1, 1,
                   {{"--shared-to-me", "", "",
                     "PATH is among the items others share with you (see \"ls --shared-to-me\")"}},
                   "open a cloud file for editing and upload the changes",
                   "Downloads the file PATH into the cache folder and opens it with the opener\n"
                   "(see OPENER below), then waits in the foreground while the program has the\n"
                   "file. When the program is done, a changed file is uploaded and the command\n"
                   "waits until the upload has ended; it says which happened, and fails when the\n"
                   "upload did (the change stays in the cache folder for the next edit). With\n"
                   "--shared-to-me, PATH names a file others share with you (\"/SHARER/NAME\", as\n"
                   "listed by \"ls --shared-to-me\"); its changes are uploaded when the share\n"
                   "allows writing.",
                   "VISUAL=nano ostrel edit /Docs/notes.txt"});
  specs.push_back({"tasks", "", 0, 0, {kJson}, "list the transfers of this process",
                   "Lists the transfers of this process: running, waiting and ended, with their\n"
                   "ids. The list lives as long as the process, so it is of use in \"ostrel\n"
                   "shell\" (a transfer command waits for its own transfers).",
                   "tasks"});
  specs.push_back({"cancel", "ID...", 1, kManyArgs, {}, "cancel transfers",
                   "Cancels each transfer ID of the task list (a waiting one is dropped).", "cancel 7"});
  specs.push_back({"retry", "ID...", 1, kManyArgs, {}, "run ended transfers again",
                   "Runs each ended transfer ID of the task list again and waits until they end.", "retry 7"});
  specs.push_back({"shell", "", 0, 0,
                   {{"--login", "", "USER", "sign USER in first (the password is asked for)"},
                    {"--password-stdin", "", "", "with --login: read the password from standard input"},
                    {"--not-my-computer", "", "",
                     "with --login: this is not your computer; the user's cached files and the sign-in are "
                     "deleted when the shell ends (what stays: see below)"}},
                   "run many commands in one session",
                   "Reads commands, one a line, and runs them in one session, so that the task\n"
                   "list, \"tasks\", \"cancel\" and \"retry\" keep their meaning between commands.\n"
                   "A line longer than " + std::to_string(kMaxCommandLineBytes) + " bytes is refused and not run.\n"
                   "Type \"help\" for the commands and \"exit\" (or end of input) to leave. Questions\n"
                   "are asked on the terminal between commands; without a terminal they are\n"
                   "answered as --answer says, else cancelled. The shell ends with status 1 when\n"
                   "a command failed, else 0.\n"
                   "\n"
                   "Ctrl-C while a command runs cancels its transfers, waits until they have\n"
                   "ended, reports them as cancelled and returns to the prompt. Ctrl-C at the\n"
                   "prompt ends the shell (status 130) as \"exit\" does; a second Ctrl-C while a\n"
                   "command is being cancelled ends it at once.\n"
                   "\n"
                   "When the service ends the session (it expired, or the service refuses it),\n"
                   "the user is signed out; sign in again with \"login USER\".\n"
                   "\n"
                   "With --not-my-computer, \"logout\" and the end of the shell (\"exit\", end of\n"
                   "input, Ctrl-C at the prompt) delete the user's folder in the configuration\n"
                   "folder (its data base and cached files) and the stored sign-in. What stays is\n"
                   "in the registry store (see \"ostrel --help\"), under the key\n"
                   "\"Software\\Ostrel\\USERID\" (USERID: the service's id of the user): UserName\n"
                   "(the e-mail), NickName and SyncRoot (the path of the deleted cache folder).\n"
                   "To forget them too, delete that key's lines from the file while no ostrel\n"
                   "runs. A shell that is killed, or ended by a second Ctrl-C, deletes nothing:\n"
                   "\"ostrel logout\" then does.",
                   "ostrel shell --login alice --not-my-computer"});
  specs.back().notInShell = true;
  specs.push_back({"help", "[COMMAND]", 0, 1, {}, "show the help of ostrel or of a command",
                   "Prints the help of COMMAND, or of ostrel.", "ostrel help put"});
  specs.push_back({"exit", "", 0, 0, {}, "leave the shell", "Ends the shell session.", "exit"});
  specs.back().inShellOnly = true;
  return specs;
}

std::string OptionLabel(const OptionSpec& option) {
  std::string label = option.shortName.empty() ? "    " : option.shortName + ", ";
  label += option.name;
  if (!option.valueName.empty()) label += " " + option.valueName;
  return label;
}

void AppendOptions(const std::vector<OptionSpec>& options, std::string* out) {
  size_t width = 0;
  for (const auto& option : options) width = std::max(width, OptionLabel(option).size());
  for (const auto& option : options) {
    std::string label = OptionLabel(option);
    *out += "  " + label + std::string(width - label.size() + 2, ' ') + option.help + "\n";
  }
}

void AppendCommandList(bool shell, std::string* out) {
  size_t width = 0;
  for (const auto& spec : CommandSpecs()) width = std::max(width, spec.name.size());
  for (const auto& spec : CommandSpecs()) {
    if ((shell && spec.notInShell) || (!shell && spec.inShellOnly)) continue;
    *out += "  " + spec.name + std::string(width - spec.name.size() + 2, ' ') + spec.summary + "\n";
  }
}

}  // namespace

const std::vector<OptionSpec>& GlobalOptionSpecs() {
  static const std::vector<OptionSpec> options = {
      {"--config", "", "DIR",
       "the configuration folder (config.ini, log, users' folders; default $XDG_DATA_HOME/Tarvelin/ostrel)"},
      {"--json", "", "", "print listings and the task list as JSON, for scripts"},
      {"--answer", "", "N", "answer every prompt with button N (1 is the first) without asking"},
      {"--opener", "", "PROGRAM", "the program that opens files for \"edit\" (words split at blanks)"},
      {"--progress-delay", "", "MS", "show the progress bar once a transfer has run MS ms (default 1000)"},
      {"--help", "-h", "", "show help (\"ostrel COMMAND --help\" for a command)"},
      {"--version", "", "", "show the version"},
  };
  return options;
}

const std::vector<CommandSpec>& CommandSpecs() {
  static const std::vector<CommandSpec> specs = MakeSpecs();
  return specs;
}

const CommandSpec* FindCommandSpec(const std::string& name) {
  for (const auto& spec : CommandSpecs())
    if (spec.name == name) return &spec;
  return nullptr;
}

std::string ProgramHelp() {
  std::string out =
      "Usage: ostrel [OPTION...] COMMAND [ARGUMENT...]\n"
      "A command-line client of the cloud storage: sign in once, then list, change,\n"
      "upload, download and edit your files.\n"
      "\n"
      "Commands:\n";
  AppendCommandList(false, &out);
  out += "\nOptions (before or after the command):\n";
  AppendOptions(GlobalOptionSpecs(), &out);
  out +=
      "\n"
      "Cloud paths are written with \"/\" between folders, starting at the root of the\n"
      "view: \"/Docs/a.txt\". Quote names that hold blanks.\n"
      "\n"
      "Configuration: DIR/config.ini, section [Ostrel], names the service\n"
      "(ServerRoot, PushNotifyRoot, ThumbnailRoot) and the log level (LogLevel); the log\n"
      "is DIR/log/ostrel.log. With --config, the stored sign-in and settings live in\n"
      "DIR/registry (unless OSTREL_REGISTRY names another file); otherwise in\n"
      "$XDG_CONFIG_HOME/Ostrel/registry. Transfers keep to the speed limits stored\n"
      "there (UploadSpeed, DownloadSpeed; 1 MiB/s each unless set). To aim ostrel at a\n"
      "service on this machine:\n"
      "  mkdir -p demo && printf '[Ostrel]\\nServerRoot=%s\\nPushNotifyRoot=%s\\nThumbnailRoot=%s\\n' \\\n"
      "    http://127.0.0.1:8080 http://127.0.0.1:8080 http://127.0.0.1:8080 > demo/config.ini\n"
      "  echo secret | ostrel --config demo login alice --password-stdin\n"
      "  ostrel --config demo ls\n"
      "\n"
      "Prompts: a question (replace a file? merge a folder?) is asked on the terminal and\n"
      "answered by the number of a button; one more number ticks \"记住我的选择\" (remember\n"
      "my choice). Without a terminal a prompt is answered with its last button (cancel),\n"
      "unless --answer N is given.\n"
      "\n"
      "OPENER: \"edit\" opens a file with --opener, else with $VISUAL or $EDITOR (the\n"
      "terminal waits for it), else with xdg-open.\n"
      "\n"
      "Ctrl-C during put, get, edit or retry cancels the transfers and waits for them\n"
      "to end before ostrel ends (status 130); a second Ctrl-C ends it at once, as\n"
      "Ctrl-C does during the other commands.\n"
      "\n"
      "Exit status: 0 success; 1 the operation failed (a line on standard error says\n"
      "why); 2 the command line was wrong; 130 Ctrl-C cancelled the command or ended\n"
      "the shell; 253 this version is too old for the service.\n"
      "\n"
      "Examples:\n";
  for (const auto& spec : CommandSpecs())
    if (!spec.inShellOnly && spec.example.rfind("ostrel", 0) == 0 && spec.name != "help")
      out += "  " + spec.example + "\n";
  out += "  printf 'ls\\nput big.iso /\\ntasks\\n' | ostrel shell\n";
  return out;
}

std::string CommandHelp(const CommandSpec& command) {
  std::string out = "Usage: ostrel " + command.name;
  if (!command.options.empty()) out += " [OPTION...]";
  if (!command.arguments.empty()) out += " " + command.arguments;
  out += "\n" + command.summary + "\n\n" + command.details + "\n";
  if (!command.options.empty()) {
    out += "\nOptions:\n";
    AppendOptions(command.options, &out);
  }
  if (command.inShellOnly) out += "\nOffered inside \"ostrel shell\" only.\n";
  if (command.notInShell) out += "\nNot offered inside \"ostrel shell\".\n";
  out += "\nExample:\n  " + command.example + "\n";
  out += "\nThe global options of \"ostrel --help\" apply too.\n";
  return out;
}

std::string ShellHelp() {
  std::string out = "Commands (one a line; \"COMMAND --help\" for one):\n";
  AppendCommandList(true, &out);
  out += "\nOptions for any command: --json, --answer N, --help.\n";
  return out;
}
