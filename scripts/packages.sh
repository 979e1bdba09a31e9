# Sourced by the scripts: installs the Debian packages the build needs when
# they are missing (as root with apt-get; as another user it prints the
# apt-get line to run and fails).
sitekit_packages=(cmake g++ make pkg-config git file dpkg-dev googletest libgtest-dev libbenchmark-dev
                  lintian bash-completion zlib1g-dev libminizip-dev libncurses-dev zip unzip cksfv tmux python3 procps
                  clang llvm libclang-rt-14-dev clang-format clang-tidy tzdata scdoc groff-base)

sitekit_install_packages() {
  local missing=() p
  for p in "${sitekit_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    echo "Missing Debian packages. Run as root:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}

# The path of the first of the named commands that is installed (empty
# names are passed over); fails when none is.
sitekit_find_tool() {
  local t
  for t in "$@"; do
    [ -n "$t" ] && command -v "$t" >/dev/null 2>&1 && { command -v "$t"; return 0; }
  done
  return 1
}
