// The contract's client: runs every row against the peer and prints "name<TAB>observation".
//
//   wininet_contract PORT REFUSED_PORT CLOSING_PORT [ROW...]   the rows (all, or those named)
//   wininet_contract --list                       "name<TAB>peer script<TAB>calls" for every row
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "contract.h"

namespace {

std::vector<contract::Row> allRows()
{
    std::vector<contract::Row> rows;
    for (auto group : {contract::sessionRows, contract::requestRows, contract::responseRows,
                       contract::notificationRows, contract::urlRows, contract::textRows}) {
        const std::vector<contract::Row> some = group();
        rows.insert(rows.end(), some.begin(), some.end());
    }
    return rows;
}

// One line per row, whatever the observation holds.
std::string oneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<contract::Row> rows = allRows();
    std::set<std::string> names;
    for (const contract::Row& row : rows) {
        if (!names.insert(row.name).second) {
            std::fprintf(stderr, "wininet_contract: row %s twice\n", row.name);
            return 2;
        }
    }
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const contract::Row& row : rows)
            std::printf("%s\t%s\t%s\n", row.name, row.peer, oneLine(row.calls).c_str());
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: wininet_contract PORT REFUSED_PORT CLOSING_PORT [ROW...] | --list\n");
        return 2;
    }
    contract::Peer peer;
    peer.port = std::atoi(argv[1]);
    peer.refusedPort = std::atoi(argv[2]);
    peer.closingPort = std::atoi(argv[3]);
    const std::set<std::string> wanted(argv + 4, argv + argc);
    int index = 0;
    for (const contract::Row& row : rows) {
        ++index;
        if (!wanted.empty() && wanted.count(row.name) == 0)
            continue;
        contract::Recorder::start(index);
        const std::string observation = oneLine(contract::withoutPort(row.run(peer), peer));
        std::printf("%s\t%s\n", row.name, observation.c_str());
        std::fflush(stdout);
    }
    return 0;
}
