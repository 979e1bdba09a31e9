# bash completion for sitekit, siteview and dlsync.
#
# The commands, options and operands are read from the program's own usage
# text when a completion is asked for (`sitekit --help`, `sitekit COMMAND
# --help`, `siteview -h`, `dlsync -h`), so they are always those of the
# program that runs. What an operand or an option value completes to follows
# from its name in the usage text: FILE, PATH, LOG and the like complete file
# names, DIR directories, USER and USERFILE (and NAME for `user`, --user)
# the site's users, NAME for `group` and --group its groups, COMMAND the
# commands, and a value written as "a|b|c" those words. The users and groups
# are read from the daemon's passwd and group files: ROOT/etc/ when --root
# ROOT is given, the folder of `user --etc DIR`, else /etc/ (inside the
# daemon's chroot).

# Prints the synopsis of a usage text read on standard input as lines:
#   sub WORD             WORD may come first after the command (dirlog list)
#   opt NAME VALUE       an option; VALUE is its value's name, "-" for none
#   arg SUB INDEX NAME   the INDEX-th operand (from 0) after the word SUB
#   rest SUB NAME        the operand that repeats after the others
# SUB is "-" where the command takes no first word. The synopsis is the
# block of lines from the first one that starts with the program's name
# ("usage: PROG ...", "PROG ...") up to a blank line or a heading ("Options:").
# Only lines of the command (the word after PROG) count when one is named.
_sitekit_synopsis() {
    awk -v prog="$1" -v cmd="$2" '
    function flush(   i, n, t, depth, closes, pending, pdepth, names, k, nn, sub_, nargs, first) {
        n = split(line, tok, " ")
        if (n == 0) return
        i = 1
        if (tok[i] == "usage:") i++
        i++                                      # the program name
        if (cmd != "") {
            if (tok[i] != cmd) return
            i++
        }
        depth = 0; pending = ""; sub_ = "-"; nargs = 0; first = 1
        for (; i <= n; i++) {
            t = tok[i]
            while (substr(t, 1, 1) == "[") { depth++; t = substr(t, 2) }
            closes = 0
            while (t ~ /\]$/) { closes++; t = substr(t, 1, length(t) - 1) }
            if (t == "" || t == "|" || t == "--") {
                pending = ""
            } else if (t ~ /^-/) {
                # "--list|--json": each is a flag; "[--config FILE]": FILE is its value
                nn = split(t, names, "|")
                pending = ""
                for (k = 1; k <= nn; k++) {
                    if (names[k] !~ /^-/) continue
                    if (!(names[k] in value)) { value[names[k]] = "-"; order[++nopts] = names[k] }
                    if (depth > 0) pending = pending " " names[k]
                }
                pdepth = depth
            } else if (pending != "" && depth == pdepth) {
                nn = split(pending, names, " ")
                for (k = 1; k <= nn; k++) value[names[k]] = t
                pending = ""
            } else if (first && cmd != "" && depth == 0 && t ~ /^[a-z][a-z-]*$/) {
                sub_ = t
                if (!(t in subs)) { subs[t] = 1; print "sub", t }
            } else {
                pending = ""
                if (t ~ /\.\.\.$/) {
                    sub(/\.\.\.$/, "", t)
                    print "rest", sub_, t
                }
                print "arg", sub_, nargs++, t
            }
            depth -= closes
            if (depth < pdepth) pending = ""     # "[--json] [NUKELOG]": the bracket closed
            first = 0
        }
    }
    {
        # "<full directory path>" is one name.
        while (match($0, /<[^>]* [^>]*>/)) {
            s = substr($0, RSTART, RLENGTH); gsub(/ /, "_", s)
            $0 = substr($0, 1, RSTART - 1) s substr($0, RSTART + RLENGTH)
        }
        w = $1 == "usage:" ? $2 : $1
        if (!inside) {
            if (w != prog) next
            inside = 1
        } else if (NF == 0 || ($1 ~ /:$/ && $1 != "usage:")) {
            exit
        }
        if (w == prog) { flush(); line = $0 } else line = line " " $0
    }
    END {
        flush()
        for (k = 1; k <= nopts; k++) print "opt", order[k], value[order[k]]
    }'
}

# The program named by the first word, as it can be run: "~/" expanded.
_sitekit_program() {
    local p=$1
    # shellcheck disable=SC2088 # the word as typed: a literal "~/" to expand
    [[ ${p:0:2} == "~/" ]] && p=$HOME/${p:2}
    printf '%s\n' "$p"
}

# The first fields of an account file (passwd, group), comments left out.
_sitekit_names() {
    local name _
    [[ -r $1 ]] || return 0
    while IFS=: read -r name _; do
        [[ -n $name && $name != \#* ]] && printf '%s\n' "$name"
    done <"$1"
}

# The commands of sitekit's main help: the first word of each line of its
# "Commands:" part.
_sitekit_commands() {
    "$1" --help 2>/dev/null | awk '/^Commands:/ { on = 1; next } on && NF == 0 { exit } on { print $1 }'
}

# Sets COMPREPLY to what a value named NAME completes to for the word cur.
# Context (set by the caller): _sk_exe, _sk_cmd, _sk_option, _sk_etc.
_sitekit_values() {
    local name=$1 cur=$2 part kind=""
    local -a parts words=() found
    IFS='|' read -r -a parts <<<"$name"
    for part in "${parts[@]}"; do
        if [[ ${#parts[@]} -gt 1 && $part =~ ^[a-z][a-z-]*$ ]]; then
            words+=("$part")
        elif [[ $part == USER* || ($part == NAME && ($_sk_cmd == user || $_sk_option == --user)) ]]; then
            mapfile -t found < <(_sitekit_names "$_sk_etc/passwd")
            words+=("${found[@]}")
            [[ $part == USERFILE ]] && kind="file"
        elif [[ $part == NAME && ($_sk_cmd == group || $_sk_option == --group) ]]; then
            mapfile -t found < <(_sitekit_names "$_sk_etc/group")
            words+=("${found[@]}")
        elif [[ $part == COMMAND ]]; then
            mapfile -t found < <(_sitekit_commands "$_sk_exe")
            words+=("${found[@]}")
        elif [[ $part == *DIR* || $part == *dir* ]]; then
            kind=${kind:-dir}
        elif [[ $part =~ FILE|PATH|LOG|file|path|config|^/ ]]; then
            kind="file"
        fi
    done
    COMPREPLY=()
    [[ ${#words[@]} -gt 0 ]] && mapfile -t COMPREPLY < <(compgen -W "${words[*]}" -- "$cur")
    if [[ -n $kind ]]; then
        compopt -o filenames 2>/dev/null
        if [[ $kind == dir ]]; then
            mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -d -- "$cur")
        else
            mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -f -- "$cur")
        fi
    fi
    return 0
}

# Completes COMP_WORDS[COMP_CWORD] from the synopsis on standard input, the
# words from index $1 on being the command's arguments.
_sitekit_from_synopsis() {
    local first=$1 kind a b c
    local -A value=()
    local -A arg=() rest=()
    local subs="" opts=""
    while read -r kind a b c; do
        case $kind in
        sub) subs+=" $a" ;;
        opt)
            value[$a]=$b
            opts+=" $a"
            ;;
        arg) arg[$a,$b]=$c ;;
        rest) rest[$a]=$b ;;
        esac
    done

    local i w sub=- nargs=0 operands_only=0
    local cword=$COMP_CWORD cur=${COMP_WORDS[COMP_CWORD]}
    # "--opt=value": the shell splits it into "--opt", "=", "value".
    if [[ $cur == = ]]; then
        cur=""
    fi
    for ((i = first; i < cword; i++)); do
        w=${COMP_WORDS[i]}
        if ((!operands_only)) && [[ $w == -?* ]]; then
            [[ $w == -- ]] && { operands_only=1; continue; }
            local v=${value[$w]:--}
            if [[ $v != - ]]; then
                # its value: the next word, or the one after "="
                if [[ ${COMP_WORDS[i + 1]} == = ]]; then
                    ((i += 1))
                fi
                if ((i + 1 == cword)); then
                    _sk_option=$w
                    _sitekit_values "$v" "$cur"
                    return 0
                fi
                ((i += 1))
            fi
            continue
        fi
        if [[ $sub == - && $nargs -eq 0 && " $subs " == *" $w "* ]]; then
            sub=$w
        else
            ((nargs += 1))
        fi
    done

    COMPREPLY=()
    if ((!operands_only)) && [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
        return 0
    fi
    if [[ $sub == - && $nargs -eq 0 && -n $subs ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$subs" -- "$cur")
        return 0
    fi
    local name=${arg[$sub,$nargs]:-${rest[$sub]:-}}
    [[ -n $name ]] && _sitekit_values "$name" "$cur"
    return 0
}

_sitekit() {
    local _sk_exe _sk_cmd="" _sk_option="" _sk_etc=/etc
    _sk_exe=$(_sitekit_program "${COMP_WORDS[0]}")
    local prog=${_sk_exe##*/}
    COMPREPLY=()

    if [[ $prog != sitekit ]]; then
        # siteview, dlsync: one synopsis, no commands.
        _sitekit_from_synopsis 1 < <("$_sk_exe" -h 2>&1 | _sitekit_synopsis "$prog" "")
        return 0
    fi

    # The global options before the command; --root moves the account files.
    local i w cmdi=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        case $w in
        --root)
            [[ ${COMP_WORDS[i + 1]} == = ]] && ((i += 1))
            ((i + 1 < COMP_CWORD)) && _sk_etc=${COMP_WORDS[i + 1]}/etc
            ((i += 1))
            ;;
        -*) ;;
        *)
            cmdi=$i
            break
            ;;
        esac
    done
    if ((cmdi == 0)); then
        _sitekit_from_synopsis 1 < <("$_sk_exe" --help 2>/dev/null | _sitekit_synopsis sitekit "")
        return 0
    fi
    _sk_cmd=${COMP_WORDS[cmdi]}
    for ((i = cmdi + 1; i + 1 < COMP_CWORD; i++)); do
        [[ $_sk_cmd == user || $_sk_cmd == group ]] && [[ ${COMP_WORDS[i]} == --etc ]] &&
            _sk_etc=${COMP_WORDS[i + 1]}
    done
    if [[ $_sk_cmd == help ]]; then
        ((COMP_CWORD == cmdi + 1)) && _sitekit_values COMMAND "${COMP_WORDS[COMP_CWORD]}"
        return 0
    fi
    _sitekit_from_synopsis $((cmdi + 1)) < <("$_sk_exe" "$_sk_cmd" --help 2>/dev/null |
        _sitekit_synopsis sitekit "$_sk_cmd")
    return 0
}

complete -F _sitekit sitekit siteview dlsync
