# bash completion for kestrune-collect(1)

_kestrune_collect()
{
    local cur prev words cword split
    # An address's ":" does not split it into words.
    _init_completion -s -n : || return

    case $prev in
        --log | --cacert)
            _filedir
            return
            ;;
        --proxy | --timeout | --max-time | --user | --proxy-user | --include | --exclude)
            # A value of the operator's own: nothing to offer.
            return
            ;;
        -j | --jobs)
            COMPREPLY=($(compgen -W '1 2 4 8 16 32' -- "$cur"))
            return
            ;;
        --depth)
            COMPREPLY=($(compgen -W '0 1 2 3 5 10' -- "$cur"))
            return
            ;;
        -h | --help | -V | --version)
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--proxy --timeout --log --log-append --user
            --netrc --negotiate --proxy-user --cacert --max-time -j --jobs -r --recursive
            --depth --include --exclude --list -q --quiet
            -h --help -V --version' -- "$cur"))
        return
    fi

    # The operands: URL, then FOLDER.
    local i operands=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --proxy | --timeout | --log | --user | --proxy-user | --cacert | --max-time | -j | --jobs | \
                --depth | --include | --exclude)
                ((i++))
                ;;
            -*) ;;
            *) ((operands++)) ;;
        esac
    done
    case $operands in
        0)
            COMPREPLY=($(compgen -W 'http:// https://' -- "$cur"))
            compopt -o nospace
            __ltrim_colon_completions "$cur"
            ;;
        1) _filedir -d ;;
    esac
} &&
    complete -F _kestrune_collect kestrune-collect
