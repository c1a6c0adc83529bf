// Lets a module library exist before its first source file does.
