# bash completion for orvandel-cli
#
# Completes the commands, the options of each, the values of --save, workbook
# files (with folders, to walk into) where a BOOK is expected, and any file after
# --names.

_orvandel_cli_books() {
  local cur=$1 file
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  COMPREPLY=($(compgen -d -- "$cur"))
  for file in $(compgen -f -- "$cur"); do
    [[ -d $file ]] && continue
    case ${file,,} in
      *.xlsx | *.xlsm | *.xltx | *.xltm | *.xls | *.ods) COMPREPLY+=("$file") ;;
    esac
  done
}

_orvandel_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # The command and whether its BOOK has been given yet.
  local command="" book="" i word
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      --sheet | --count | --pattern | --save | --names | --start) ((i++)) ;;
      -*) ;;
      *)
        if [[ -z $command ]]; then
          command=$word
        elif [[ -z $book ]]; then
          book=$word
        fi
        ;;
    esac
  done

  case $prev in
    --save)
      COMPREPLY=($(compgen -W "each once" -- "$cur"))
      return
      ;;
    --names)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --sheet | --count | --pattern | --start)
      return
      ;;
  esac

  case $command in
    "")
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--version --help" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "sheets copy" -- "$cur"))
      fi
      ;;
    sheets)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help --json" -- "$cur"))
      elif [[ -z $book ]]; then
        _orvandel_cli_books "$cur"
      fi
      ;;
    copy)
      if [[ -z $book && $cur != -* ]]; then
        _orvandel_cli_books "$cur"
      else
        COMPREPLY=($(compgen -W "--sheet --count --names --pattern --start --save --dry-run --json --help" -- "$cur"))
      fi
      ;;
  esac
}

complete -F _orvandel_cli orvandel-cli
