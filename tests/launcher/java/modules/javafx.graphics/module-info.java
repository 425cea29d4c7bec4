// Stand-in for the JavaFX graphics module: only the package that the launcher
// exports to the application.
module javafx.graphics {
}
