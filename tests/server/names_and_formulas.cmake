# Tests of the formula reference tokenizer and the sheet-name rules.
