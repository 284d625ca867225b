# bash completion for quillpass(1)

_quillpass()
{
    local cur=${COMP_WORDS[COMP_CWORD]} value_of= word i
    # Options end at the first operand, at a lone "-" or after "--"; -b and
    # -P take the next argument when nothing follows the letter.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
        --) i=-1; break ;;
        --*) ;;
        -*[bP])
            ((i + 1 == COMP_CWORD)) && value_of=$word
            ((i++))
            ;;
        -?*) ;;
        *) i=-1; break ;;
        esac
    done
    case $value_of in
    *b) return ;; # a number of bytes
    *P)
        # Up to four of tmux and screen, comma-separated.
        local named=
        [[ $cur == *,* ]] && named=${cur%,*},
        COMPREPLY=($(compgen -P "$named" -W 'tmux screen' -- "${cur##*,}"))
        compopt -o nospace 2>/dev/null
        return
        ;;
    esac
    if ((i >= 0)) && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-n -t -S -p -P -r -b -f --help --version' -- "$cur"))
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _quillpass quillpass
