# Sourced by the build scripts: installs the Debian packages the project needs, only when missing.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

BUILD_PACKAGES=(cmake make g++ pkg-config libogg-dev libopus-dev nlohmann-json3-dev libavformat-dev
                libavcodec-dev libavutil-dev libavfilter-dev libswscale-dev libpcap-dev)
# The browser call test (scripts/browser_call.sh) adds chromium, tcpdump, iproute2 and python3.
TEST_PACKAGES=(libvpx-dev libaom-dev libx264-dev libopusfile-dev libgtest-dev bsdutils groff-base man-db parallel mkvtoolnix
               ffmpeg procps chromium tcpdump iproute2 python3)
# scripts/package_check.sh: CPack's DEB generator runs file(1) and dpkg-shlibdeps.
PACKAGE_PACKAGES=(dpkg-dev file)
