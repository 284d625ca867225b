# Sourced by the script tests. `needs PACKAGES TOOL...` ends the test as
# skipped (status 77) when a tool is missing, or as failed where
# QUILLPASS_REQUIRE_TOOLS is set, as it is in CI.
needs() {
    local packages=$1 tool
    shift
    for tool in "$@"; do
        command -v "$tool" >/dev/null && continue
        echo "$(basename "$0"): $tool is not installed (apt-get install $packages)"
        [ -n "${QUILLPASS_REQUIRE_TOOLS:-}" ] && exit 1
        exit 77
    done
}
