# shellcheck shell=bash
# The Debian archive this machine already installs from: its first binary entry for the release, so
# the repository names no host of its own. Sourced by the scripts that need it.
archive_uri() {
    local codename uri
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    # One-line entries: "deb [options] URI SUITE COMPONENTS".
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        sed -E 's/\[[^]]*\]//' |
        awk -v c="$codename" '$1 == "deb" && $3 == c { print $2; exit }')
    # Stanza entries (.sources): the URIs of the first "deb" stanza whose suites name the release.
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v c="$codename" '
            /^[[:space:]]*$/ { if (deb && suite && u != "") { print u; exit } deb = 0; suite = 0; u = ""; next }
            tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == c) suite = 1 }
            tolower($1) == "uris:" { u = $2 }
            END { if (deb && suite && u != "") print u }' | head -1)
    fi
    printf '%s\n' "$uri"
}
