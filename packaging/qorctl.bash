# bash completion for qorctl: its commands, each command's options (read from qorctl's own
# --help, so they never drift from the program), .QOR files where a script is expected, .jsonl
# records for report, folders for --scripts and the choices of --pace.

# "OPTION VALUE" or "OPTION" per line, for each option the command's --help lists.
_qorctl_options() {
  "$1" "$2" --help 2>/dev/null | sed -n 's/^  \(-[^ ]*\)\( [^ ]\+\)\?.*/\1\2/p'
}

_qorctl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local program=${COMP_WORDS[0]} command="" word i
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word != -* ]]; then command=$word; break; fi
  done
  COMPREPLY=()

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "--help --help-all --version" -- "$cur")
    else
      local commands
      commands=$("$program" --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    fi
    return
  fi

  local options line takesValue=""
  options=$(_qorctl_options "$program" "$command")
  while read -r line; do
    local names=${line%% *}
    if [[ $line == *" "* && ",$names," == *",$prev,"* ]]; then takesValue=${line#* }; fi
  done <<<"$options"
  if [[ -n $takesValue ]]; then
    case $prev in
      --pace) mapfile -t COMPREPLY < <(compgen -W "fast tick" -- "$cur") ;;
      --scripts) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
      --trace|--html) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    esac
    return  # a number, an address or a MAC: nothing to offer
  fi

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(cut -d' ' -f1 <<<"$options" | tr ',' ' ')" -- "$cur")
  elif [[ $command == check || $command == run ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -G "$cur*.[Qq][Oo][Rr]")
  elif [[ $command == report ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -G "$cur*.[Jj][Ss][Oo][Nn][Ll]")
  fi
}

complete -F _qorctl qorctl
