# Sourced by install-deps.sh and build-windows-deps.sh: sets $cache, the
# folder outside the repository where the set-up keeps what it unpacks and
# builds, and makes it when missing (a new machine's home has nothing yet).
# Root runs and links what it holds, so a cache that another user owns, or
# that anyone may write in, is refused.
cache=${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}
mkdir -p "$cache"
if [[ ! -O $cache ]] || (( 8#$(stat -L -c %a "$cache") & 8#002 )); then
  echo "$cache: another user owns it, or anyone may write in it; choose another with ADV_DEPS_CACHE" >&2
  exit 2
fi
