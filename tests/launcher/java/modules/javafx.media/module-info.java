// Stand-in for the JavaFX media module.
module javafx.media {
    exports javafx.scene.media;
}
